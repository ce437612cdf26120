// Marks the library's exported interface; everything else in libsorvo.so is hidden.
#pragma once

#define SORVO_EXPORT __attribute__((visibility("default")))
