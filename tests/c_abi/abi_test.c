/* Drives a clsPrnPort through the C interface alone, as a C host would, onto a simulated device,
 * and a clsSerial onto a pseudo-terminal. */
#define _XOPEN_SOURCE 600
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vtldllxt.h"
#include "vtldllxt_testing.h"

static int failures = 0;
#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
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

static int32_t last_number(void) {
  int32_t n = 0;
  vtl_last_error(&n, NULL);
  return n;
}

/* Sets a property from one variant: 0, or the error number a host sees. */
static int32_t put(vtl_object* obj, int32_t dispid, vtl_variant* value) {
  return vtl_invoke(obj, dispid, VTL_PROPERTYPUT, value, 1, NULL) == VTL_OK ? 0 : last_number();
}

static int64_t get_num(vtl_object* obj, int32_t dispid, int32_t type) {
  vtl_variant r;
  int64_t n;
  memset(&r, 0, sizeof r);
  CHECK(vtl_invoke(obj, dispid, VTL_PROPERTYGET, NULL, 0, &r) == VTL_OK);
  CHECK(r.type == type);
  n = r.num;
  vtl_variant_clear(&r);
  return n;
}

static vtl_variant raw(int32_t type, int64_t num) {
  vtl_variant v;
  memset(&v, 0, sizeof v);
  v.type = type;
  v.num = num;
  return v;
}

static vtl_variant text(const char* s) {
  vtl_variant v;
  memset(&v, 0, sizeof v);
  vtl_variant_set_string(&v, s, -1);
  return v;
}

static vtl_variant real(double d) {
  vtl_variant v;
  memset(&v, 0, sizeof v);
  vtl_variant_set_double(&v, d);
  return v;
}

/* Event sinks of the Boolean checks: the first writes a C "1" into NuevoEstado's tmpSinPapel, the
 * second sees what the library made of it. */
static int64_t raised_error = 0, raised_paper_type = 0, raised_paper = 0, raised_error_type = 0;
static int nuevo_estado = 0;
static void writes_one(void* user, int32_t dispid, const char* name, vtl_variant* args, int32_t n) {
  (void)user;
  (void)name;
  if (dispid != 2 || n != 2) return;
  raised_error_type = args[0].type;
  raised_error = args[0].num;
  vtl_variant_clear(&args[1]);
  args[1].type = VTL_LONG;
  args[1].num = 1;
}
static void sees_it(void* user, int32_t dispid, const char* name, vtl_variant* args, int32_t n) {
  (void)user;
  (void)name;
  if (dispid != 2 || n != 2) return;
  ++nuevo_estado;
  raised_paper_type = args[1].type;
  raised_paper = args[1].num;
}

/* Overflow, rounding and Booleans at the boundary, into Long and Integer. */
static void conversions(vtl_object* port) {
  const int32_t props = dispid_of("PortPropiedadesAdicionales");
  vtl_variant v, args[3], result;
  int32_t i;

  /* Into a Long: 64-bit values, doubles, numeric text and an Integer that does not fit are
   * error 6, and store nothing. */
  v = raw(VTL_LONG, 5);
  CHECK(put(port, props, &v) == 0);
  v = raw(VTL_LONG, 2147483648LL);
  CHECK(put(port, props, &v) == 6);
  v = raw(VTL_LONG, -2147483649LL);
  CHECK(put(port, props, &v) == 6);
  v = raw(VTL_INTEGER, 40000);
  CHECK(put(port, props, &v) == 6);
  v = real(3e9);
  CHECK(put(port, props, &v) == 6);
  v = text("2147483648");
  CHECK(put(port, props, &v) == 6);
  vtl_variant_clear(&v);
  v = text("2147483647.5");
  CHECK(put(port, props, &v) == 6);
  vtl_variant_clear(&v);
  CHECK(get_num(port, props, VTL_LONG) == 5);

  /* Half to even. */
  {
    const char* texts[] = {"2.5", "3.5", "-2.5", "0.5", "1.5"};
    const int64_t expected[] = {2, 4, -2, 0, 2};
    for (i = 0; i < 5; ++i) {
      v = text(texts[i]);
      CHECK(put(port, props, &v) == 0);
      vtl_variant_clear(&v);
      CHECK(get_num(port, props, VTL_LONG) == expected[i]);
    }
    v = real(2.5);
    CHECK(put(port, props, &v) == 0);
    CHECK(get_num(port, props, VTL_LONG) == 2);
    v = real(-3.5);
    CHECK(put(port, props, &v) == 0);
    CHECK(get_num(port, props, VTL_LONG) == -4);
  }

  /* True is -1: set by the helper, read as a number, and whatever non-zero a C host stored. */
  memset(&v, 0, sizeof v);
  vtl_variant_set_boolean(&v, 1);
  CHECK(v.type == VTL_BOOLEAN && v.num == -1);
  CHECK(put(port, props, &v) == 0);
  CHECK(get_num(port, props, VTL_LONG) == -1);
  v = raw(VTL_BOOLEAN, 1);
  CHECK(put(port, dispid_of("AlwaysOnLine"), &v) == 0);
  CHECK(get_num(port, dispid_of("AlwaysOnLine"), VTL_BOOLEAN) == -1);
  v = raw(VTL_BOOLEAN, 0);
  CHECK(put(port, dispid_of("AlwaysOnLine"), &v) == 0);
  CHECK(get_num(port, dispid_of("AlwaysOnLine"), VTL_BOOLEAN) == 0);
  /* A ByRef Long given True comes back -1. */
  args[0] = raw(VTL_BOOLEAN, -1);
  args[0].byref = 1;
  CHECK(vtl_invoke(port, dispid_of("CutPaper"), VTL_METHOD, args, 1, NULL) == VTL_OK);
  CHECK(args[0].type == VTL_LONG && args[0].num == -1);
  vtl_variant_clear(&args[0]);

  /* Into an Integer: a record's property, and a ByRef argument. */
  memset(args, 0, sizeof args);
  memset(&result, 0, sizeof result);
  args[0] = raw(VTL_LONG, 0);
  args[0].byref = 1;
  CHECK(vtl_invoke(port, dispid_of("PortData"), VTL_PROPERTYGET, args, 1, &result) == VTL_OK);
  vtl_variant_clear(&args[0]);
  CHECK(result.type == VTL_OBJECT && result.obj != NULL);
  if (result.obj) {
    const int32_t address = 0x40030001;
    v = raw(VTL_INTEGER, 0x278);
    CHECK(put(result.obj, address, &v) == 0);
    v = raw(VTL_INTEGER, 40000); /* would wrap to -25536 */
    CHECK(put(result.obj, address, &v) == 6);
    v = raw(VTL_INTEGER, -40000);
    CHECK(put(result.obj, address, &v) == 6);
    v = raw(VTL_LONG, 32768);
    CHECK(put(result.obj, address, &v) == 6);
    v = real(32767.5);
    CHECK(put(result.obj, address, &v) == 6);
    v = text("-32769");
    CHECK(put(result.obj, address, &v) == 6);
    vtl_variant_clear(&v);
    CHECK(get_num(result.obj, address, VTL_INTEGER) == 0x278);
    v = text("-2.5");
    CHECK(put(result.obj, address, &v) == 0);
    vtl_variant_clear(&v);
    CHECK(get_num(result.obj, address, VTL_INTEGER) == -2);
    v = raw(VTL_BOOLEAN, 1);
    CHECK(put(result.obj, address, &v) == 0);
    CHECK(get_num(result.obj, address, VTL_INTEGER) == -1);
  }
  vtl_variant_clear(&result);

  /* CommSetLine(ByRef intLine As Integer, ByRef blnState As Boolean). */
  args[0] = raw(VTL_LONG, 70002);
  args[0].byref = 1;
  args[1] = raw(VTL_BOOLEAN, 0);
  CHECK(vtl_invoke(port, dispid_of("CommSetLine"), VTL_METHOD, args, 2, NULL) != VTL_OK);
  CHECK(last_number() == 6);
  CHECK(args[0].type == VTL_LONG && args[0].num == 70002 && !args[0].owned);
  args[0] = text("3.5");
  args[0].byref = 1;
  CHECK(vtl_invoke(port, dispid_of("CommSetLine"), VTL_METHOD, args, 2, NULL) == VTL_OK);
  CHECK(args[0].type == VTL_INTEGER && args[0].num == 4);
  vtl_variant_clear(&args[0]);
}

/* Only parameters declared ByRef write back; the others stay exactly as the caller filled them. */
static void by_value_stays(vtl_object* port) {
  vtl_variant args[2];
  char* before;
  memset(args, 0, sizeof args);
  vtl_variant_set_string(&args[0], "by value\n", -1);
  vtl_variant_set_string(&args[1], "0", -1); /* tmpComandoPuro, not ByRef */
  args[0].byref = args[1].byref = 1;
  before = args[1].str;
  CHECK(vtl_invoke(port, dispid_of("Imprimir"), VTL_METHOD, args, 2, NULL) == VTL_OK);
  CHECK(args[1].type == VTL_STRING && args[1].str == before && args[1].len == 1);
  CHECK(args[0].type == VTL_STRING && strcmp(args[0].str, "by value\n") == 0);
  vtl_variant_clear(&args[0]);
  vtl_variant_clear(&args[1]);
  /* A ByRef text the member leaves as it was stays the caller's own, even where Windows-1252 has
   * no letter for a character (the printer got "?" for it). */
  vtl_variant_set_string(&args[0], "Caf\xc3\xa9 \xe2\x86\x92 2\n", -1);
  args[0].byref = 1;
  before = args[0].str;
  CHECK(vtl_invoke(port, dispid_of("Imprimir"), VTL_METHOD, args, 1, NULL) == VTL_OK);
  CHECK(args[0].str == before && strcmp(args[0].str, "Caf\xc3\xa9 \xe2\x86\x92 2\n") == 0);
  vtl_variant_clear(&args[0]);
  /* Text outside Windows-1252 in a property's value: the caller's own text stays untouched. */
  vtl_variant_set_string(&args[0], "Caja \xe2\x86\x92 1", -1);
  args[0].byref = 1;
  before = args[0].str;
  CHECK(put(port, 0x40030148, &args[0]) == 0);
  CHECK(args[0].str == before && strcmp(args[0].str, "Caja \xe2\x86\x92 1") == 0);
  vtl_variant_clear(&args[0]);
}

/* A ByRef Boolean output that is True: the CTS line of a pseudo-terminal, which counts as up
 * while its other end is open. */
static void serial_line_true(void) {
  vtl_object* serial = NULL;
  vtl_variant args[3], result;
  int32_t open_id = 0, getline_id = 0;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  CHECK(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  if (master < 0) return;
  CHECK(setenv("VTL_COM7", ptsname(master), 1) == 0);
  CHECK(vtl_create("clsSerial", &serial) == VTL_OK);
  CHECK(vtl_get_dispid("clsSerial", "CommOpen", &open_id) == VTL_OK);
  CHECK(vtl_get_dispid("clsSerial", "CommGetLine", &getline_id) == VTL_OK);
  memset(args, 0, sizeof args);
  memset(&result, 0, sizeof result);
  vtl_variant_set_string(&args[0], "COM7", -1);
  CHECK(vtl_invoke(serial, open_id, VTL_METHOD, args, 1, &result) == VTL_OK);
  vtl_variant_clear(&args[0]);
  CHECK(result.type == VTL_LONG && result.num >= 1);
  args[0] = raw(VTL_INTEGER, result.num);
  args[1] = raw(VTL_INTEGER, 0x10);
  args[2] = raw(VTL_BOOLEAN, 0);
  args[2].byref = 1;
  CHECK(vtl_invoke(serial, getline_id, VTL_METHOD, args, 3, &result) == VTL_OK);
  CHECK(result.type == VTL_LONG && result.num == 0);
  CHECK(args[2].type == VTL_BOOLEAN && args[2].num == -1);
  vtl_variant_clear(&args[2]);
  vtl_release(serial);
  unsetenv("VTL_COM7");
  close(master);
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

  conversions(port);
  by_value_stays(port);
  serial_line_true();

  /* Event arguments: True arrives as -1, and what a sink writes is converted to the argument's
   * type before the next sink sees it. */
  {
    int32_t c1 = 0, c2 = 0;
    CHECK(vtl_connect(port, writes_one, NULL, &c1) == VTL_OK);
    CHECK(vtl_connect(port, sees_it, NULL, &c2) == VTL_OK);
    vtl_variant_set_string(&args[0], "job in progress\n", -1);
    CHECK(vtl_invoke(port, dispid_of("Imprimir"), VTL_METHOD, args, 1, NULL) == VTL_OK);
    vtl_variant_clear(&args[0]);
    CHECK(vtl_invoke(port, dispid_of("ClearAll"), VTL_METHOD, NULL, 0, NULL) == VTL_OK);
    CHECK(nuevo_estado == 1);
    CHECK(raised_error_type == VTL_BOOLEAN && raised_error == -1);
    CHECK(raised_paper_type == VTL_BOOLEAN && raised_paper == -1);
    CHECK(vtl_disconnect(port, c1) == VTL_OK);
    CHECK(vtl_disconnect(port, c2) == VTL_OK);
  }

  /* Members and events are looked up apart: some names are both. */
  {
    int32_t id = 0;
    CHECK(vtl_get_dispid("clsPrnPort", "LoopPruebas", &id) == VTL_OK && id == 0x6003004d);
    CHECK(vtl_get_event_dispid("clsPrnPort", "LoopPruebas", &id) == VTL_OK && id == 4);
    CHECK(vtl_get_dispid("clsPrnPort", "Uploading", &id) == VTL_OK && id == 0x680300ee);
    CHECK(vtl_get_event_dispid("clsPrnPort", "uploading", &id) == VTL_OK && id == 6);
    CHECK(vtl_get_dispid("clsPrnPort", "DatosImpresos", &id) != VTL_OK);
    CHECK(vtl_get_event_dispid("clsPrnPort", "Imprimir", &id) != VTL_OK);
    CHECK(vtl_get_event_dispid("clsSerial", "DataOut", &id) == VTL_OK && id == 2);
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
