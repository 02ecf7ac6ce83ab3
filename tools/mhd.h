// SPDX-License-Identifier: MIT
// libmicrohttpd, opened when the web service starts: rendering a stream
// never maps it, nor the TLS libraries under it.
#pragma once

#include <microhttpd.h>

#include <string>

#include "connection/late_library.h"

namespace quillbar::tool {

#define QB_MHD_FUNCTIONS(X)                                                                                          \
    X(MHD_add_connection) X(MHD_add_response_header) X(MHD_create_post_processor) X(MHD_create_response_from_buffer)                       \
    X(MHD_create_response_from_callback) X(MHD_destroy_post_processor) X(MHD_destroy_response)                       \
    X(MHD_get_connection_info) X(MHD_get_connection_values) X(MHD_get_daemon_info) X(MHD_get_timeout) X(MHD_lookup_connection_value) X(MHD_post_process)                     \
    X(MHD_queue_response) X(MHD_resume_connection) X(MHD_run) X(MHD_start_daemon) X(MHD_stop_daemon)                 \
    X(MHD_suspend_connection)

struct MhdLibrary {
    QB_MHD_FUNCTIONS(QB_LATE_POINTER)
};

// Loads the library once; null, with the reason, when it cannot be.
const MhdLibrary *load_mhd(std::string &error);
// Only called once load_mhd() succeeded.
const MhdLibrary &mhd();

}  // namespace quillbar::tool
