/* The one table of services the launcher hands to the update framework stand-in when it loads it,
   and the stand-in's answer. The stand-in links no copy of the platform layer: there is one run
   loop, one main queue and one shared application per process, the launcher's. Plain C, so the two
   sides need not share a compiler or a standard library. */
#ifndef KESTROVA_UPDATER_ABI_H
#define KESTROVA_UPDATER_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KESTROVA_UPDATER_ABI_VERSION 2u
#define KESTROVA_UPDATER_ENTRY_POINT "kestrova_updater_load"

/* The outcome of a URL transfer: `error_code` 0 and `http_status` (or -1 when not HTTP) with the
   body, or a URL error domain code with its description. Valid only during the completion call. */
typedef struct KestrovaUrlResult {
    int error_code;
    const char* error_description;
    int http_status;
    const char* body;
    size_t body_size;
} KestrovaUrlResult;

typedef struct KestrovaHostServices {
    uint32_t abi_version; /* KESTROVA_UPDATER_ABI_VERSION */
    uint32_t size;        /* sizeof(KestrovaHostServices) of the launcher */

    /* Main queue and run loop (callable from any thread). */
    void (*dispatch_async_main)(void (*block)(void* context), void* context);
    /* A one-shot timer on the main run loop at `fire_date` (absolute time, seconds since 2001). */
    void* (*add_main_timer)(double fire_date, void (*callback)(void* context), void* context);
    void (*invalidate_timer)(void* timer);
    double (*absolute_time_now)(void);

    /* The shared application: ends its run(); a no-op when it is not running. */
    void (*application_stop)(void);

    /* The modal alert; returns once dismissed. Main thread. */
    void (*run_modal_alert)(const char* message_text, const char* informative_text);

    /* Starts a transfer (no cached data); `completion` runs on a worker thread. */
    void (*load_url)(const char* url, double timeout_seconds, size_t max_body_bytes,
                     void (*completion)(void* context, const KestrovaUrlResult* result), void* context);

    /* A string value of the bundle's Info.plist, copied into `buffer` (NUL-terminated). Returns the
       value's length, or -1 when absent; a value of `size` bytes or more is cut and still counted. */
    long (*info_string)(const char* key, char* buffer, size_t size);

    /* A variable of the environment as it was before the JVM started; null when unset. */
    const char* (*environment_value)(const char* name);

    /* One record in the update log, under the stand-in's own category. */
    void (*log)(const char* message);

    /* An alert offering `count` (two or more) buttons: `buttons[0]` dismisses it (as closing the
       window does), `buttons[1]` is the affirmative one; the default is `buttons[1]`, or
       `buttons[0]` when `dismiss_is_default` is nonzero. Returns the index chosen, or -1 when no
       such dialog can be shown (then nothing was shown). Main thread. Present when `size` covers it. */
    long (*run_choice_alert)(const char* message_text, const char* informative_text, const char* const* buttons,
                             size_t count, int dismiss_is_default);
} KestrovaHostServices;

/* What the launcher's updater delegate hears. */
typedef struct KestrovaUpdaterDelegate {
    void* context;
    void (*did_finish_loading_appcast)(void* context);
    void (*will_schedule_update_check_after_delay)(void* context, double delay_seconds);
} KestrovaUpdaterDelegate;

typedef struct KestrovaUpdaterApi {
    uint32_t abi_version;
    /* The standard updater controller: creating it starts the updater (Info.plist settings, the
       schedule, on the next turn of the main run loop). Main thread. Null when it cannot be made. */
    void* (*controller_create)(const KestrovaUpdaterDelegate* delegate);
    /* A user-initiated check whose result is shown to the user. Main thread. */
    void (*controller_check_for_updates)(void* controller);
    /* The standard version ordering: -1 when `a` is older than `b`, 0 same, 1 newer. */
    int (*compare_versions)(const char* a, const char* b);
    /* 1 when the controller's last user-initiated check, once over, offered the user a version
       newer than the bundle's; 0 when it found none, failed, or none ran. Main thread. */
    int (*controller_last_check_offered_update)(void* controller);
} KestrovaUpdaterApi;

/* The stand-in's one exported entry point. Returns null when it cannot work with `host`. */
typedef const KestrovaUpdaterApi* (*KestrovaUpdaterLoadFn)(const KestrovaHostServices* host);

#ifdef __cplusplus
}
#endif

#endif
