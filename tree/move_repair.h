// The move with repairs: moves one file, creating missing destination directories
// below the working directory and replacing an existing destination file.
#pragma once

// Moves source to destination. On a missing directory the destination's levels past
// WorkDir are created once and the move tried again; on an existing destination it
// is made normal, deleted once, and the move tried again. Every failure writes one
// record to logPath. Returns 1 when the file has moved.
int MoveWithRepairs(const char* source, const char* destination, const char* logPath);
