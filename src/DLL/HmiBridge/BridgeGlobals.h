// BridgeGlobals.h - the bridge library's one controller, created when the
// library is loaded and deleted when it is unloaded.
#pragma once

#include "SmemCtrl.h"

extern SmemCtrl* g_controller;
