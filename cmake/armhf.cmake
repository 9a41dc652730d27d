# Cross build for the board: 32-bit ARM with hard float (Debian's armhf),
# Debian's cross compiler, and the armhf builds of the libraries from the
# archive, installed beside the host's (scripts/setup-armhf). Net-SNMP's
# armhf build cannot be installed beside the host's: it is unpacked into
# build-armhf-sysroot/, which this file points pkg-config, the linker and
# the emulator at. Programs and tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZUN_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ZUN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZUN_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZUN_TRIPLET})

get_filename_component(ZUN_ARMHF_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-armhf-sysroot ABSOLUTE)

# Only armhf pkg-config files: the sysroot's (Net-SNMP) and the multiarch ones.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR}
  "${ZUN_ARMHF_SYSROOT}/usr/lib/${ZUN_TRIPLET}/pkgconfig:/usr/lib/${ZUN_TRIPLET}/pkgconfig:/usr/share/pkgconfig")

# The Net-SNMP libraries need libraries that only the sysroot holds; the
# linker checks them when it links a program.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-Wl,-rpath-link,${ZUN_ARMHF_SYSROOT}/usr/lib/${ZUN_TRIPLET} -Wl,-rpath-link,${ZUN_ARMHF_SYSROOT}/lib/${ZUN_TRIPLET}")
# The board finds its libraries in the system's folders; no build machine
# path goes into a program. Under emulation, qemu's -L gives the sysroot.
set(CMAKE_SKIP_RPATH ON)

# Tests (and gtest's test discovery) run the armhf programs through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${ZUN_ARMHF_SYSROOT})
