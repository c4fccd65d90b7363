/* The one table of services the launcher hands to the update framework stand-in when it loads it,
   and the stand-in's answer. The stand-in links no copy of the platform layer's services that keep
   state: there is one run loop, one main queue and one shared application per process, the
   launcher's. Plain C, so the two
   sides need not share a compiler or a standard library. */
#ifndef KESTROVA_UPDATER_ABI_H
#define KESTROVA_UPDATER_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KESTROVA_UPDATER_ABI_VERSION 6u
#define KESTROVA_UPDATER_ENTRY_POINT "kestrova_updater_load"

/* The URL error domain's codes that the framework acts on: a transfer that cancel_transfer stopped,
   and one whose body was longer than its limit. */
#define KESTROVA_URL_ERROR_CANCELLED (-999)
#define KESTROVA_URL_ERROR_DATA_LENGTH_EXCEEDS_MAXIMUM (-1103)

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
    uint32_t size;        /* sizeof(KestrovaHostServices) of the launcher; a smaller table is refused */

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
       `buttons[0]` when `dismiss_is_default` is nonzero. `details`, when not empty, is plain text
       shown below the informative text in a scrolled area (an update's release notes). Returns the
       index chosen, or -1 when no such dialog can be shown (then nothing was shown). Main thread. */
    long (*run_choice_alert)(const char* message_text, const char* informative_text, const char* details,
                             const char* const* buttons, size_t count, int dismiss_is_default);

    /* --- Installing updates --- */

    /* Streams the body of `url` into a new file at `path` (created with O_EXCL, never an existing
       file), without cached data. `progress` runs on the worker as bytes arrive (`expected` -1 when
       the server sent no length); `completion` runs once, last, on the worker, with an empty body.
       A body longer than `max_bytes` ends the transfer with
       KESTROVA_URL_ERROR_DATA_LENGTH_EXCEEDS_MAXIMUM. Both share `context`. Returns a
       nonzero id for cancel_transfer; 0 when the transfer could not start (then `completion` has
       already run with the reason). Any thread. */
    uint64_t (*download_to_file)(const char* url, const char* path, double timeout_seconds, uint64_t max_bytes,
                                 void (*progress)(void* context, uint64_t received, int64_t expected),
                                 void (*completion)(void* context, const KestrovaUrlResult* result), void* context);
    /* Stops a transfer: its completion then reports KESTROVA_URL_ERROR_CANCELLED. Harmless once it
       has ended. */
    void (*cancel_transfer)(uint64_t transfer);

    /* The absolute path of the bundle directory (NAME.app) that holds the running launcher, copied
       like info_string. Returns its length, or -1 when it cannot be told. */
    long (*bundle_path)(char* buffer, size_t size);

    /* Calls `entry` once for each top-level string value of the property list at `path` (another
       bundle's Info.plist). Returns 0, or -1 when the file is missing or not a property list. */
    int (*read_property_list)(const char* path, void (*entry)(void* context, const char* key, const char* value),
                              void* context);

    /* A progress window with a Cancel button. `cancelled` runs at most once, on the main thread,
       when the user cancels, and never once close_progress has returned. Returns a nonzero id, or
       0 when no such window can be shown (nothing was shown). Main thread, as are the two below. */
    uint64_t (*show_progress)(const char* title, const char* text, void (*cancelled)(void* context), void* context);
    /* `fraction` from 0 to 1, or negative when unknown; `text` may be null (unchanged). */
    void (*update_progress)(uint64_t progress, double fraction, const char* text);
    void (*close_progress)(uint64_t progress);

    /* --- One copy at a time --- */

    /* Every running copy of the installation holds a lock on its bundle directory. Converts this
       process's lock to exclusive, without waiting: 1 when no other copy runs (the caller may now
       replace the installation), 0 when one does (the lock stays shared). Any thread. */
    int (*lock_installation_exclusively)(void);
    /* 1 when `bundle_path` still names the bundle directory this process locked when it started,
       0 when it names another one or nothing (moved or replaced since), -1 when this process holds
       no such lock. Any thread. */
    int (*installation_at)(const char* bundle_path);

    /* The modal alert with the information icon, for news that is no error (an update waits for
       the application to quit); returns once dismissed. Main thread. */
    void (*run_information_alert)(const char* message_text, const char* informative_text);
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

    /* Tells the controller that the launch is held and the application has not started: an update
       the user installs from the coming check replaces the bundle at once, and the launcher then
       starts the new version instead of the old one. Main thread. */
    void (*controller_hold_launch)(void* controller);
    /* After a held check: when it installed an update, the path of the new version's launcher is
       copied into `buffer` (as info_string does) and its length returned; -1 otherwise. */
    long (*controller_installed_launcher)(void* controller, char* buffer, size_t size);

    /* On the way out of the process, from any thread, once the application is done: installs an
       update that was downloaded and checked while it ran, or else one another copy left ready,
       when no other copy runs. Returns 1 when one was installed. */
    int (*install_pending_update)(void);
    /* At start, before the JVM exists: removes what interrupted installs left beside the bundle and
       installs an update that an earlier run staged but did not live to install. Returns the new
       launcher's path length as controller_installed_launcher does (the launcher then starts it),
       or -1 when nothing was installed. */
    long (*install_left_update)(char* buffer, size_t size);

    /* --- A way back from a new version that cannot start --- */

    /* After an update's exchange the previous version is kept beside the bundle until the new one
       has started. At start, before install_left_update: when the bundle's version runs here for
       the first time, this process becomes its first start (-1 is returned); when an earlier first
       start died before the application ran, the previous version is put back at once. Then the
       previous launcher's path is copied into `launcher` and its length returned, and `sentence`
       gets what the user is told (both as info_string copies). -1 when nothing was put back. */
    long (*begin_first_start)(char* launcher, size_t launcher_size, char* sentence, size_t sentence_size);
    /* The new version failed before its application ran: puts the kept previous version back in
       one exchange and answers as begin_first_start does; -1 when there is none. Any thread. */
    long (*roll_back_first_start)(char* launcher, size_t launcher_size, char* sentence, size_t sentence_size);
    /* The new version has shown it runs: the kept previous version is no longer needed and goes
       (removed meanwhile, done by the end of install_pending_update). Any thread. */
    void (*confirm_first_start)(void);
    /* 1 when `version` is, or is older than, a version that was put back after it could not start
       here: neither scheduled checks nor the launch gate offer it again. 0 otherwise. */
    int (*version_failed_to_start)(const char* version);
    /* The application's main method is about to run: the first start is confirmed once main has
       run a few seconds (confirm_first_start), unless the process ends before. Any thread. */
    void (*application_starting)(void);
    /* The first start ended by `signal` (SIGTERM, SIGINT, SIGHUP: the user or a logout) before it
       was confirmed: not counted against the version; the next start is its first start again. */
    void (*interrupt_first_start)(int signal);
} KestrovaUpdaterApi;

/* The stand-in's one exported entry point. Returns null when it cannot work with `host`. */
typedef const KestrovaUpdaterApi* (*KestrovaUpdaterLoadFn)(const KestrovaHostServices* host);

#ifdef __cplusplus
}
#endif

#endif
