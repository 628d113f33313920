// The deck player module: the output devices (DSBasicObject) and the deck player on them (DoublePlayer).
#pragma once

#include "engine/DSBasicObject.h"
#include "engine/DoublePlayer.h"
