/* Builds against an installed qktoken (four ways, see run.sh) and uses it
 * from C: message texts in two forms, the time limits, a count query. */
#include <qktoken.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char text[64];
  uint32_t needed = 0, count = 0;
  QKTimeLimits limits;
  if (QKGetErrorText(QK_E_COMMUNICATION, QK_TEXT_NAME, text, sizeof text, &needed) != QK_E_SUCCESS ||
      strcmp(text, "QK_E_COMMUNICATION") != 0 || needed != strlen(text) + 1) {
    printf("QKGetErrorText failed\n");
    return 1;
  }
  if (QKFormatErrorMessage(QK_E_SUCCESS, text, sizeof text - 1) != QK_E_SUCCESS) {
    printf("QKFormatErrorMessage failed\n");
    return 1;
  }
  if (QKGetTimeLimits(&limits) != QK_E_SUCCESS || limits.lockMs == 0) {
    printf("QKGetTimeLimits failed\n");
    return 1;
  }
  /* No token here: the count call answers 0 tokens (any code but a crash). */
  (void)QKListDevices(NULL, &count);
  printf("installed library works (%u tokens)\n", (unsigned)count);
  return 0;
}
