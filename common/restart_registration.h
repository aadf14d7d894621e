/* Restart registration: asks the system to start this program again, with the
 * same arguments, after it was ended for an update or a failure. Called once at
 * start-up by the server (restart flags 3: not after a crash or a hang) and by
 * vekping (flags 15).
 *
 * This system has no such per-program service; a service manager's restart
 * policy (the shipped units' Restart=) does that job. The call therefore always
 * answers "not available" and changes nothing. Thread-safe. */
#ifndef KYVEK_COMMON_RESTART_REGISTRATION_H
#define KYVEK_COMMON_RESTART_REGISTRATION_H

#include <stdint.h>

/* Restart flags of the callers. */
#define KY_RESTART_NO_CRASH 0x1u
#define KY_RESTART_NO_HANG 0x2u
#define KY_RESTART_NO_PATCH 0x4u
#define KY_RESTART_NO_REBOOT 0x8u

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the command line (the arguments after the program name) was
 * registered, 0 when registration is not available (always, here). */
int restart_registration(int argc, char** argv, uint32_t restart_flags);

#ifdef __cplusplus
}
#endif

#endif
