/* Compiles the public header as C99 and calls what needs no models. */
#include "ondrelix.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  const char *report = NULL;
  int got = -1;
  int16_t out[4];
  if (strcmp(ondrelix_version(), "1.1.0") != 0) return 1;
  if (ondrelix_last_error() == NULL) return 2;
  if (ondrelix_init(NULL, &report) != -1 || report != NULL) return 3;
  if (strcmp(ondrelix_last_error(), "models_dir is NULL or empty") != 0) return 4;
  if (ondrelix_rt_write(out, 4) != -1) return 5;
  if (ondrelix_rt_read(out, 4, &got) != 0 || got != 0) return 6;
  if (ondrelix_rt_stop(&report) != 0 || report != NULL) return 7;
  ondrelix_cleanup();
  puts("header compiles as C and the library answers");
  return 0;
}
