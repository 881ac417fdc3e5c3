// Message boxes shown by another process: TakeMessageBox, now with the other window finders.
#pragma once

#include "window_finder.h"
