// What the parts of heraldd share beyond the notifiers.
#pragma once

// The monitoring system's host name (-H), "Orvane NMS" unless given: it goes
// into the subject of every mail.
extern const char *heraldd_hostname;
