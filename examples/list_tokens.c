/*
 * list_tokens: the library's calls in order, from C. Lists the attached
 * tokens, opens each, prints its model and serial number, and closes it.
 * (qktool list and qktool info do this and more.)
 *
 * Exit status: 0 when every token could be read, 1 otherwise, 2 when none is
 * attached.
 */
#include <stdio.h>
#include <stdlib.h>

#include "qktoken.h"

static void PrintError(const char* what, uint32_t code) {
  char name[64], text[256];
  if (QKGetErrorText(code, QK_TEXT_NAME, name, sizeof name, NULL) != QK_E_SUCCESS) name[0] = '\0';
  if (QKGetErrorText(code, QK_TEXT_ENGLISH, text, sizeof text, NULL) != QK_E_SUCCESS) text[0] = '\0';
  fprintf(stderr, "%s failed: %s (%s)\n", what, text, name);
}

static int ShowToken(QKContext* token, uint32_t index) {
  uint8_t model[6] = {0};
  uint32_t length = 0, i;
  uint32_t rc = QKOpenDevice(token);
  if (rc != QK_E_SUCCESS) {
    PrintError("QKOpenDevice", rc);
    return 1;
  }
  rc = QKDeviceControl(token, QK_CTRL_GET_INFO_SIX, NULL, 0, model, sizeof model, &length);
  printf("token %u: model %.*s serial ", (unsigned)index, rc == QK_E_SUCCESS ? (int)length : 0,
         (const char*)model);
  for (i = 0; i < sizeof token->infoEight; ++i) printf("%02X", token->infoEight[i]);
  printf("\n");
  rc = QKCloseDevice(token);
  if (rc != QK_E_SUCCESS) {
    PrintError("QKCloseDevice", rc);
    return 1;
  }
  return 0;
}

int main(void) {
  uint32_t count = 0, i;
  int failures = 0;
  QKContext* tokens;
  /* The count call answers QK_E_BUFFER_TOO_SMALL when there are tokens. */
  uint32_t rc = QKListDevices(NULL, &count);
  if (count == 0) {
    fprintf(stderr, "no token attached\n");
    return 2;
  }
  if (rc != QK_E_BUFFER_TOO_SMALL && rc != QK_E_SUCCESS) {
    PrintError("QKListDevices", rc);
    return 1;
  }
  tokens = (QKContext*)calloc(count, sizeof *tokens);
  if (tokens == NULL) return 1;
  rc = QKListDevices(tokens, &count);
  if (rc != QK_E_SUCCESS) {
    PrintError("QKListDevices", rc);
    free(tokens);
    return 1;
  }
  for (i = 0; i < count; ++i) failures += ShowToken(&tokens[i], i);
  /* Close every token before listing again: a new listing forgets them. */
  free(tokens);
  return failures == 0 ? 0 : 1;
}
