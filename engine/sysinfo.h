// The appliance's own state: the system element of the XML interface and
// the plain-text report of "-i".
#pragma once
#include <cstdint>

inline constexpr int SYSTEM_ELEMENT_ID = 100;

// The program's version, written "%u.%u.%u b%03u" (2.5.1 b314).
inline constexpr unsigned VERSION_MAJOR = 2, VERSION_MINOR = 5, VERSION_PATCH = 1, VERSION_BUILD = 314;

// Writes <system id="100" state=... /> (closed) or the same ending in " >"
// (open, the start of the system tree). Never fails: an unreachable daemon
// leaves its defaults.
void print_system_element(bool open);

// The plain-text report; returns 0.
int sysinfo();

// Operation time in hours from stewardd, or -1 when it cannot be asked.
int64_t query_optime();

// Whole seconds since the kernel started, 0 when /proc/uptime is unreadable.
uint32_t read_uptime();

// True when /tmp/nocellulard does not exist.
bool sms_available();
