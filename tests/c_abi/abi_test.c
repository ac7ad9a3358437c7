/* Drives a clsPrnPort through the C interface alone, as a C host would, onto a simulated device. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vtldllxt.h"
#include "vtldllxt_testing.h"

static int failures = 0;
#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

static int32_t done_id = 0;
static int events = 0;
static char first_event[64];

static void on_event(void* user, int32_t dispid, const char* name, vtl_variant* args, int32_t n) {
  (void)user;
  if (events++ == 0) snprintf(first_event, sizeof first_event, "%s", name);
  if (dispid == 1 && n == 1 && args[0].type == VTL_LONG) done_id = (int32_t)args[0].num;
}

static int32_t dispid_of(const char* member) {
  int32_t id = -1;
  CHECK(vtl_get_dispid("clsPrnPort", member, &id) == VTL_OK);
  return id;
}

int main(void) {
  vtl_object* port = NULL;
  vtl_variant args[2], result;
  int32_t cookie = 0, len = 0, i;
  char written[256];
  const char bin[] = {0x1d, 0x56, 0x42, 0x00};

  CHECK(vtl_create("clsPrnPort", &port) == VTL_OK);
  CHECK(strcmp(vtl_class_name(port), "clsPrnPort") == 0);
  CHECK(vtl_test_sim_register("c-abi") == VTL_OK);
  CHECK(vtl_test_attach(port, "sim:c-abi") == VTL_OK);
  CHECK(vtl_connect(port, on_event, NULL, &cookie) == VTL_OK);

  /* Text goes in as UTF-8 and reaches the printer as Windows-1252. */
  memset(args, 0, sizeof args);
  vtl_variant_set_string(&args[0], "Caf\xc3\xa9 \xe2\x82\xac\n", -1);
  memset(&result, 0, sizeof result);
  CHECK(vtl_invoke(port, dispid_of("Imprimir"), VTL_METHOD, args, 1, &result) == VTL_OK);
  CHECK(result.type == VTL_LONG && result.num == 1);
  vtl_variant_clear(&args[0]);
  vtl_variant_clear(&result);

  /* Binary data passes untouched, NUL included; the optional argument is given. */
  vtl_variant_set_bytes(&args[0], bin, 4);
  vtl_variant_set_boolean(&args[1], 1);
  CHECK(vtl_invoke(port, dispid_of("Imprimir"), VTL_METHOD, args, 2, &result) == VTL_OK);
  CHECK(result.num == 2);
  vtl_variant_clear(&args[0]);
  vtl_variant_clear(&args[1]);

  for (i = 0; i < 100000 && done_id < 2; ++i) vtl_pump(50);
  CHECK(done_id == 2);
  CHECK(strcmp(first_event, "NuevoEstado") == 0);

  CHECK(vtl_invoke(port, dispid_of("OutputID"), VTL_PROPERTYGET, NULL, 0, &result) == VTL_OK);
  CHECK(result.type == VTL_LONG && result.num == 2);

  CHECK(vtl_test_sim_written("c-abi", written, sizeof written, &len) == VTL_OK);
  CHECK(len == 12);
  CHECK(memcmp(written, "Caf\xe9 \x80\r\n\x1d\x56\x42\x00", 12) == 0);

  /* ByRef outputs come back in the caller's variants. */
  memset(args, 0, sizeof args);
  {
    vtl_variant refs[3];
    memset(refs, 0, sizeof refs);
    for (i = 0; i < 3; ++i) {
      refs[i].byref = 1;
      vtl_variant_set_long(&refs[i], 5);
    }
    CHECK(vtl_invoke(port, dispid_of("CheckError"), VTL_METHOD, refs, 3, NULL) == VTL_OK);
    for (i = 0; i < 3; ++i) {
      CHECK(refs[i].type == VTL_BOOLEAN && refs[i].num == 0);
      vtl_variant_clear(&refs[i]);
    }
  }

  /* Errors are codes and messages, never a crash. */
  {
    int32_t number = 0;
    const char* source = NULL;
    const char* msg;
    CHECK(vtl_invoke(port, dispid_of("Imprimir"), VTL_METHOD, NULL, 0, NULL) != VTL_OK);
    msg = vtl_last_error(&number, &source);
    CHECK(number == 449);
    CHECK(strstr(msg, "not optional") != NULL);
    CHECK(vtl_invoke(NULL, 1, VTL_METHOD, NULL, 0, NULL) != VTL_OK);
    vtl_object* other = (vtl_object*)1;
    CHECK(vtl_create("NoSuchClass", &other) != VTL_OK);
    CHECK(other == NULL);
  }

  CHECK(vtl_disconnect(port, cookie) == VTL_OK);
  vtl_release(port);
  vtl_test_sim_unregister("c-abi");
  if (failures) {
    fprintf(stderr, "0 passed, %d failed\n", failures);
    return 1;
  }
  printf("C interface: all checks passed\n");
  return 0;
}
