/* Field offsets and record sizes of the public headers, as compiled in C. */
#ifndef QK_TESTS_ABI_LAYOUT_H
#define QK_TESTS_ABI_LAYOUT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AbiField {
  const char* name;
  size_t value;
} AbiField;

const AbiField* CLayoutFields(size_t* count);

#ifdef __cplusplus
}
#endif

#endif
