#include "tarnex/engine.h"
