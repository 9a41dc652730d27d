// GPIO lines through /sys/class/gpio (mapped under APPLIANCE_ROOT).
#pragma once

int zun25_gpio_export(int line);            // writes the line to export, direction "out"
int zun25_gpio_unexport(int line);
int zun25_gpio_put(int line, int level);    // writes "0" or "1" to gpioN/value
int zun25_gpio_get(int line);               // the level, or -1
