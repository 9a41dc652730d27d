// Appliance log: one entry to chronicled, or syslog when it cannot be reached.
#pragma once

inline constexpr const char *CHRONICLED_SOCKET = "/tmp/chronicled.socket";

// Sends <entry type="SOURCE" message="TEXT" level="NUMBER" /> (texts
// XML-escaped; no type attribute without a source). 0 when chronicled took it.
int zunlog_message(const char *source, const char *text, int number);
