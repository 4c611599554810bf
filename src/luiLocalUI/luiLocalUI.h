// The local UI: the "lui" thread that acts on the camera's buttons (recording, interval, factory
// reset).
#ifndef LUI_LOCAL_UI_H
#define LUI_LOCAL_UI_H

#include <stdint.h>

void luiLocalUI_Init(void);
// Creates the "lui" thread.
void luiLocalUI_StartThreads(void);
// A button press (i2cButtons_t bits) from the "i2c" thread, for the "lui" thread to act on.
void queueIncomingButtonMsg(uint16_t button);

#endif  // LUI_LOCAL_UI_H
