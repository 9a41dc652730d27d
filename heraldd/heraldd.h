// What the parts of heraldd share beyond the notifiers.
#pragma once

// The monitoring system's host name (-H), "Orvane NMS" unless given: it goes
// into the subject of every mail.
extern const char *heraldd_hostname;

// One appliance log entry of heraldd: the text formatted into 512 bytes (a
// longer one is cut), source code 8.
void heraldd_log(const char *clas, const char *format, ...) __attribute__((format(printf, 2, 3)));
