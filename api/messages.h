// Result codes turned into message texts (QKFormatErrorMessage; the texts are
// in api/native_texts.h). Status words become result codes in the transport:
// transport/status_word.h.
#pragma once

#include "transport/status_word.h"  // MapStatusWord, for the api layer
