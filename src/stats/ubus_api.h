// Report upload to the cloud_log service over the system bus.
#pragma once

struct ubus_context;

// A new connection to ubusd: at /var/run/ubus.sock (ubusd's before 2020) if it answers
// there, else at the library's default socket; NULL when neither answers.
struct ubus_context *ubus_connect_system();

// Uploads one report; failures are logged and the report is dropped.
// Safe from the loop thread and the NAT-type worker at once.
void send_log_to_cloud_log(const char *text);
// Frees the upload connection, if one was made. Called once at exit.
void ubus_deinit();
