// Stand-in for the platform layer on Windows: the system defines the vocabulary.
#pragma once

#include <windows.h>
