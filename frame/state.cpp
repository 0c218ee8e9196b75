#include "frame/quisel.h"

char WorkDir[kPathBuffer];
FILE* LogStream;
