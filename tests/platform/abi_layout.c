/* The record layouts as a C compiler sees the public headers; abi_test
 * compares them with the C++ view, so a packing or type difference between
 * the two languages cannot slip through. */
#include "abi_layout.h"

static const AbiField kFields[] = {
    QK_ABI_FIELDS(QK_ABI_FIELD_ENTRY) QK_ABI_RECORDS(QK_ABI_SIZE_ENTRY)};

const AbiField* CLayoutFields(size_t* count) {
  *count = sizeof kFields / sizeof kFields[0];
  return kFields;
}
