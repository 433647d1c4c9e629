#include "recorder/mixer.h"
