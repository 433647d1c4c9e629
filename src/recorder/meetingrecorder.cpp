#include "recorder/meetingrecorder.h"
