/* A receipt from C: prints on a network receipt printer through the C interface and waits until
 * the printer has it.
 *
 *   cc receipt.c $(pkg-config --cflags --libs vtldllxt) -o receipt
 *   ./receipt 192.168.1.50            a printer on TCP port 9100
 *   ./receipt 127.0.0.1:9100          the virtual printer: printer-sim --port 9100
 *
 * Exit status: 0 printed, 1 the printer reported an error or did not finish in 30 seconds.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vtldllxt.h>

static int32_t g_printed;  /* the highest job number reported printed */
static int32_t g_error;    /* the printer's last reported state */
static int32_t g_last_job; /* the job this program waits for */

static void on_event(void* user, int32_t dispid, const char* name, vtl_variant* args,
                     int32_t nargs) {
  (void)user;
  (void)dispid;
  if (strcmp(name, "DatosImpresos") == 0 && nargs == 1) {
    g_printed = (int32_t)args[0].num;
  } else if (strcmp(name, "NuevoEstado") == 0 && nargs == 2) {
    g_error = args[0].num != 0;
    printf("printer %s%s\n", g_error ? "in error" : "ready", args[1].num ? ", paper out" : "");
  }
}

static int32_t printed(void* user) {
  (void)user;
  return g_printed >= g_last_job;
}

static int fail(const char* what) {
  int32_t number = 0;
  const char* source = NULL;
  const char* message = vtl_last_error(&number, &source);
  fprintf(stderr, "receipt: %s: %s (error %d)\n", what, message, (int)number);
  return 1;
}

/* Calls a method of the port by name; `result` may be NULL. */
static int call(vtl_object* port, const char* member, vtl_variant* args, int32_t nargs,
                vtl_variant* result) {
  int32_t dispid = 0;
  if (vtl_get_dispid("clsPrnPort", member, &dispid) != VTL_OK) return 0;
  return vtl_invoke(port, dispid, VTL_METHOD, args, nargs, result) == VTL_OK;
}

/* Queues UTF-8 text (the library sends it in Windows-1252) or, as a command, bytes as they
 * stand; returns the job number, 0 on failure. */
static int32_t print(vtl_object* port, const char* data, int32_t len, int bytes) {
  vtl_variant args[2], job;
  int32_t number;
  memset(args, 0, sizeof args);
  if (bytes) {
    vtl_variant_set_bytes(&args[0], data, len);
  } else {
    vtl_variant_set_string(&args[0], data, len);
  }
  vtl_variant_set_boolean(&args[1], bytes);
  if (!call(port, "Imprimir", args, 2, &job)) return 0;
  number = (int32_t)job.num;
  vtl_variant_clear(&job);
  return number;
}

int main(int argc, char** argv) {
  char host[256] = "127.0.0.1";
  int32_t tcp_port = 9100;
  vtl_object* port = NULL;
  vtl_variant args[2];
  int32_t cookie = 0;
  char heading[64];
  /* ESC @ resets the printer; ESC t 16 selects its Windows-1252 table, the code page the library
   * sends text in. */
  static const char kReset[] = "\x1b@\x1bt\x10";
  static const char kCut[] = "\x1dV\x42\x00"; /* feed and cut */

  if (argc > 1) {
    const char* colon = strrchr(argv[1], ':');
    size_t len = colon ? (size_t)(colon - argv[1]) : strlen(argv[1]);
    if (len == 0 || len >= sizeof host) {
      fprintf(stderr, "usage: receipt [HOST[:PORT]]\n");
      return 2;
    }
    memcpy(host, argv[1], len);
    host[len] = '\0';
    if (colon) tcp_port = (int32_t)atoi(colon + 1);
  }

  if (vtl_create("clsPrnPort", &port) != VTL_OK) return fail("vtl_create");
  if (vtl_connect(port, on_event, NULL, &cookie) != VTL_OK) return fail("vtl_connect");
  memset(args, 0, sizeof args);
  vtl_variant_set_string(&args[0], host, -1);
  vtl_variant_set_long(&args[1], tcp_port);
  if (!call(port, "InicializarRed", args, 2, NULL)) return fail("InicializarRed");

  snprintf(heading, sizeof heading, "vtldllxt %s from C\n", vtl_version());
  if (!print(port, kReset, (int32_t)(sizeof kReset - 1), 1) ||
      !print(port,
             "\x1b"
             "a\x01"
             "CAFÉ LA ESQUINA\n",
             -1, 0) ||
      !print(port, heading, -1, 0) ||
      !print(port,
             "\x1b"
             "a\x00",
             3, 1) ||
      !print(port, "2 x Café con leche        3,20 €\n", -1, 0)) {
    return fail("Imprimir");
  }
  g_last_job = print(port, kCut, (int32_t)(sizeof kCut - 1), 1);
  if (g_last_job == 0) return fail("Imprimir");

  if (!vtl_run_until(printed, NULL, 30000)) {
    fprintf(stderr, "receipt: the printer did not finish%s\n", g_error ? " (it is in error)" : "");
    vtl_release(port);
    return 1;
  }
  printf("printed job %d\n", (int)g_printed);
  vtl_release(port);
  return 0;
}
