#ifndef KORVEXSDK_H
#define KORVEXSDK_H
/*
 * KorvexSDK: the controller's expansion-slot switch.
 *
 * ChangeSlotToTarn routes COM1 to the module in the given slot (1 to 7) and returns at once.
 * The slot is recorded in the library (KorvexSDK_CurrentSlot). When the environment variable
 * KORVEXSDK_BACKPLANE names the backplane socket of a simulator, the simulator is told too.
 * Returns 0 on success, 1 when the slot is outside 1 to 7 (nothing is switched), 2 when the
 * backplane could not be told.
 */

#include <stdint.h>

/* What the library exports: these functions and nothing else (it is built with hidden
 * visibility). */
#if defined(__GNUC__)
#define KORVEXSDK_API __attribute__((visibility("default")))
#else
#define KORVEXSDK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

KORVEXSDK_API uint16_t ChangeSlotToTarn(int8_t slot);

/* The slot last switched to, 0 before any switch. */
KORVEXSDK_API int8_t KorvexSDK_CurrentSlot(void);

#ifdef __cplusplus
}
#endif

#endif /* KORVEXSDK_H */
