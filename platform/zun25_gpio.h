// GPIO lines through /sys/class/gpio (mapped under APPLIANCE_ROOT).
#pragma once

// Exports the line (a line that is exported already is taken as it is) and
// makes it an output at level (0 or 1) at once: direction "high" or "low".
// A freshly exported line is an input, and "out" would drive it to 0 first.
// 0 when the direction was written; -1 when the line's files do not appear
// within a second, or cannot be written.
int zun25_gpio_export(int line, int level);
int zun25_gpio_unexport(int line);
int zun25_gpio_put(int line, int level);    // writes "0" or "1" to gpioN/value
int zun25_gpio_get(int line);               // the level, or -1
