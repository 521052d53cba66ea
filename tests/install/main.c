/* Builds against an installed qktoken through find_package (see scripts/test.sh). */
#include <qktoken.h>
#include <stdio.h>

int main(void) {
  char text[64];
  uint32_t rc = QKFormatErrorMessage(QK_E_SUCCESS, text, sizeof text - 1);
  printf("%s\n", rc == QK_E_SUCCESS ? "installed library works" : "failed");
  return rc == QK_E_SUCCESS ? 0 : 1;
}
