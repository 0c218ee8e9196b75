#include "frame/quisel.h"

char WorkDir[kPathSize];
FILE* LogStream;
