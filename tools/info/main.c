/*
 * qktoken-info: lists the attached tokens, opens each, prints what it says
 * about itself and closes it. Written in C against the public header only.
 *
 *   qktoken-info          every token
 * Exit status: 0 when every token could be read, 1 otherwise, 2 when none is attached.
 */
#include <stdio.h>
#include <stdlib.h>

#include "qktoken.h"

static void PrintHex(const char* label, const uint8_t* bytes, size_t length) {
  size_t i;
  printf("  %-12s", label);
  for (i = 0; i < length; ++i) printf("%02X", bytes[i]);
  printf("\n");
}

static void PrintError(const char* what, uint32_t code) {
  char text[257];
  if (QKFormatErrorMessage(code, text, sizeof text - 1) != QK_E_SUCCESS) text[0] = '\0';
  /* The message text is GBK; the code is what scripts should look at. */
  fprintf(stderr, "%s failed: 0x%08X %s\n", what, (unsigned)code, text);
}

static int ShowToken(QKContext* token, uint32_t index) {
  uint8_t six[6] = {0};
  uint32_t number = 0, cdValue = 0, length = 0;
  uint32_t rc = QKOpenDevice(token);
  if (rc != QK_E_SUCCESS) {
    PrintError("QKOpenDevice", rc);
    return 1;
  }
  printf("token %u\n", (unsigned)index);
  printf("  %-12s0x%04X\n", "infoWord", (unsigned)token->infoWord);
  printf("  %-12s0x%08X\n", "queryValue", (unsigned)token->queryValue);
  PrintHex("infoBlock", token->infoBlock, sizeof token->infoBlock);
  PrintHex("infoEight", token->infoEight, sizeof token->infoEight);
  rc = QKDeviceControl(token, QK_CTRL_GET_INFO_SIX, NULL, 0, six, sizeof six, &length);
  if (rc == QK_E_SUCCESS) PrintHex("infoSix", six, length);
  rc = QKDeviceControl(token, QK_CTRL_GET_INFO_NUMBER, NULL, 0, (uint8_t*)&number,
                       sizeof number, &length);
  if (rc == QK_E_SUCCESS) printf("  %-12s%u\n", "infoNumber", (unsigned)number);
  rc = QKDeviceControl(token, QK_CTRL_GET_CD_VALUE, NULL, 0, (uint8_t*)&cdValue,
                       sizeof cdValue, &length);
  if (rc == QK_E_SUCCESS) printf("  %-12s%u\n", "cdValue", (unsigned)cdValue);
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
  uint32_t rc = QKListDevices(NULL, &count);
  if (rc != QK_E_SUCCESS && rc != QK_E_BUFFER_TOO_SMALL) {
    PrintError("QKListDevices", rc);
    return 1;
  }
  if (count == 0) {
    fprintf(stderr, "no token attached\n");
    return 2;
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
  free(tokens);
  return failures == 0 ? 0 : 1;
}
