#include "platform/url_loading.h"

namespace kestrova::platform {

std::string url_error_description(int code) {
    switch (code) {
        case url_error::cancelled:
            return "The operation was cancelled.";
        case url_error::bad_url:
            return "The URL is not valid.";
        case url_error::timed_out:
            return "The request timed out.";
        case url_error::unsupported_url:
            return "The URL is not supported.";
        case url_error::cannot_find_host:
            return "A server with the specified hostname could not be found.";
        case url_error::cannot_connect_to_host:
            return "Could not connect to the server.";
        case url_error::network_connection_lost:
            return "The network connection was lost.";
        case url_error::http_too_many_redirects:
            return "Too many HTTP redirects.";
        case url_error::bad_server_response:
            return "The server returned a bad response.";
        case url_error::file_does_not_exist:
            return "The requested resource was not found on this server.";
        case url_error::data_length_exceeds_maximum:
            return "The resource exceeds the maximum size.";
        case url_error::secure_connection_failed:
            return "A TLS error occurred and a secure connection to the server cannot be made.";
        case url_error::server_certificate_untrusted:
            return "The certificate for this server is invalid.";
        case url_error::cannot_create_file:
            return "The downloaded file cannot be created.";
        case url_error::cannot_write_to_file:
            return "The downloaded file cannot be written.";
        default:
            return "An unknown error occurred.";
    }
}

UrlError make_url_error(int code) { return UrlError{code, url_error_description(code)}; }

}  // namespace kestrova::platform
