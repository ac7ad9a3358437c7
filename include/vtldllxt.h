/** @file vtldllxt.h
 * vtldllxt: C interface to the library's automation objects.
 *
 * Objects are created by class name ("clsPrnPort", "clsSerial") and driven by DISPID with variant
 * arguments, the way an automation host drives them. Text crosses this interface as UTF-8 and is
 * converted to and from Windows-1252, the printer's side; a VTL_BYTES variant carries
 * Windows-1252 bytes untouched, for binary printer data.
 *
 * Every function returns 0 (VTL_OK) or a negative HRESULT-style code; vtl_last_error() gives the
 * message, number and source of the last failure on the calling thread. Objects belong to the
 * thread that created them: call everything, and pump with vtl_do_events()/vtl_pump(), there.
 */
#ifndef VTLDLLXT_H
#define VTLDLLXT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with every symbol hidden; what this header declares is its interface. */
#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(default)
#endif

typedef struct vtl_object vtl_object;

enum vtl_vartype {
  VTL_EMPTY = 0,
  VTL_INTEGER = 2,          /**< `num`, -32768 to 32767 */
  VTL_LONG = 3,             /**< `num`, -2147483648 to 2147483647 */
  VTL_DOUBLE = 5,           /**< `dbl` */
  VTL_STRING = 8,           /**< UTF-8 text in `str`, `len` bytes */
  VTL_OBJECT = 9,           /**< `obj`, a reference the receiver releases with vtl_release */
  VTL_MISSING = 10,         /**< an optional argument left out */
  VTL_BOOLEAN = 11,         /**< `num` is -1 (True) or 0 (False) */
  VTL_BYTES = 17,           /**< Windows-1252 bytes in `str`, `len` bytes, passed untouched */
  VTL_LONG_ARRAY = 0x2003,  /**< `longs`, `len` elements, bounds 0 to len - 1 */
  VTL_STRING_ARRAY = 0x2008 /**< `strs`, `len` UTF-8 strings */
};

enum vtl_invoke_kind { VTL_METHOD = 1, VTL_PROPERTYGET = 2, VTL_PROPERTYPUT = 4 };

/** One argument or result. A variant whose `owned` is non-zero holds memory of the library's:
 * release it with vtl_variant_clear(). Results and values written back into ByRef arguments are
 * always owned; what the caller fills in is never freed by the library.
 *
 * Conversions are an automation host's: a number that does not fit the parameter's type (an
 * Integer `num` outside its range included) fails with error 6, "Overflow", never wraps; a
 * fraction (a Double, or numeric text such as "2.5") rounds half to even; True is -1. Only
 * parameters declared ByRef write back into a `byref` argument: any other argument is left
 * exactly as the caller filled it.
 *
 * A variant a function fills for the caller (a result, `name`, `path`, `queues`...) is
 * overwritten, not cleared first, and owned. */
typedef struct vtl_variant {
  int32_t type;
  int32_t byref; /**< non-zero: the member may write a new value back into this variant */
  int32_t owned;
  int32_t len;
  int64_t num;
  char* str;
  int32_t* longs;
  char** strs;
  vtl_object* obj;
  double dbl;
} vtl_variant;

#define VTL_OK 0

/** The library's version, "MAJOR.MINOR.PATCH". Programs built against one major version run with
 * any library of that major version (the file name libvtldllxt.so.MAJOR says which). */
const char* vtl_version(void);

/** Last failure on this thread: its message (UTF-8), error number and source. */
const char* vtl_last_error(int32_t* number, const char** source);

/** Creates an object of `class_name` ("clsPrnPort" or "clsSerial"), owned by this thread, in
 * `out` with one reference. */
int32_t vtl_create(const char* class_name, vtl_object** out);
/** Drops the reference `obj` (one of vtl_create, vtl_add_ref or a VTL_OBJECT result); the object
 * goes when its last reference does. NULL is ignored. */
void vtl_release(vtl_object* obj);
/** The class name of `obj`. */
const char* vtl_class_name(const vtl_object* obj);

/** DISPID of a member of a class, case-insensitively. Events are numbered apart from members (a
 * class may have a member and an event of the same name): vtl_get_event_dispid finds them. */
int32_t vtl_get_dispid(const char* class_name, const char* member, int32_t* dispid);
int32_t vtl_get_event_dispid(const char* class_name, const char* event, int32_t* dispid);
/** The class's members, one at a time (index from 0); VTL_OK while index is in range. The
 * strings stay valid for the life of the process. */
int32_t vtl_member_info(const char* class_name, int32_t index, int32_t* dispid, const char** name,
                        int32_t* kind, int32_t* param_count, int32_t* result_type);
/** A parameter of a member (both indexes from 0): its name, type (vtl_vartype), whether it is
 * ByRef and whether it may be left out. */
int32_t vtl_param_info(const char* class_name, int32_t member_index, int32_t param_index,
                       const char** name, int32_t* type, int32_t* byref, int32_t* optional);
/** The class's events, one at a time (index from 0), with their DISPIDs and argument counts. */
int32_t vtl_event_info(const char* class_name, int32_t index, int32_t* dispid, const char** name,
                       int32_t* param_count);
/** An event's arguments (every one is ByRef: a handler may change it for the raising procedure). */
int32_t vtl_event_param_info(const char* class_name, int32_t event_index, int32_t param_index,
                             const char** name, int32_t* type);

/** Calls a member. Arguments are in declaration order; fewer than declared (or VTL_MISSING) take
 * the defaults. ByRef members write back into arguments whose `byref` is set. `result` may be
 * NULL; otherwise it is overwritten (not cleared first). */
int32_t vtl_invoke(vtl_object* obj, int32_t dispid, int32_t kind, vtl_variant* args, int32_t nargs,
                   vtl_variant* result);

/** Events: `args` are the raising procedure's values; assign with the vtl_variant_set_*
 * functions to change them (ByRef). An assigned value is converted to the argument's declared
 * type before the next callback sees it; one that does not convert (an overflow) leaves the
 * argument as it was. */
typedef void (*vtl_event_callback)(void* user, int32_t dispid, const char* name, vtl_variant* args,
                                   int32_t nargs);
/** Connects `callback` to the events of `obj` (called on this thread, in connection order, while
 * it pumps its loop); `cookie` identifies the connection for vtl_disconnect. */
int32_t vtl_connect(vtl_object* obj, vtl_event_callback callback, void* user, int32_t* cookie);
int32_t vtl_disconnect(vtl_object* obj, int32_t cookie);

/** Processes everything due on this thread's loop without blocking; returns 1 if anything ran. */
int32_t vtl_do_events(void);
/** Processes what is due, waiting up to `max_wait_ms` for something to happen; returns 1 if
 * anything ran. */
int32_t vtl_pump(int32_t max_wait_ms);
/** Pumps this thread's loop until `condition(user)` answers non-zero or `timeout_ms` pass on the
 * loop's clock, and returns the condition's last answer (1 or 0). The condition is asked before
 * the first pass and after every one. */
typedef int32_t (*vtl_condition)(void* user);
int32_t vtl_run_until(vtl_condition condition, void* user, int32_t timeout_ms);

/** Port names and devices. A clsPrnPort or clsSerial opens "COMn" and "LPTn"; the process may say
 * which device each name stands for, ahead of the environment (VTL_COMn, VTL_LPTn) and the
 * system's defaults. The mapping is shared by every thread of the process.
 *
 * vtl_map_port maps `name` ("COM3", "LPT1") to the device at `path` (a tty, a pseudo-terminal,
 * /dev/usb/lp0, a symbolic link); a NULL or empty path removes the mapping. */
int32_t vtl_map_port(const char* name, const char* path);
/** Maps the first name of `kind` ("COM": COM1 to COM255; "LPT": LPT1 to LPT4) that stands for no
 * device yet (no mapping, no variable, nothing at its default path) to `path`, and gives it in
 * `name` as VTL_STRING; a name already mapped to `path` is given as it is. Fails with error 67
 * when every name is taken. */
int32_t vtl_map_free_port(const char* kind, const char* path, vtl_variant* name);
/** The device path that `name` opens, as VTL_STRING in `path`; error 53 when it stands for none. */
int32_t vtl_port_device(const char* name, vtl_variant* path);

/** Why the last opening of a serial or parallel device by a clsPrnPort failed: the system's error
 * number (2: no such device, 5: another program holds it or no permission) and, when `message`
 * is not NULL, its text as VTL_STRING ("The system cannot find the file specified."). Both are 0
 * and empty once a device has opened since. */
int32_t vtl_opening_error(vtl_object* port, int32_t* number, vtl_variant* message);

/** What a clsPrnPort last learned of its printer, without asking it anything: VTL_CONDITION_*
 * bits in `flags`, and, when `words` is not NULL, what a spooler said of its queue and of the
 * port's oldest document not yet printed, as VTL_STRING (empty on other port types). */
#define VTL_CONDITION_ERROR 1
#define VTL_CONDITION_PAPER_OUT 2
#define VTL_CONDITION_COVER_OPEN 4
#define VTL_CONDITION_BUSY 8
int32_t vtl_printer_condition(vtl_object* port, uint32_t* flags, vtl_variant* words);
/** A queue of the print spooler: its state and reasons in the spooler's words, as VTL_STRING
 * ("idle", "stopped, paused", "printing, media-empty-error"). Error 1801 for a queue the spooler
 * does not know; waits a few seconds at most for a spooler that does not answer. */
int32_t vtl_spooler_queue_state(const char* queue, vtl_variant* words);

/** The queues of the system's print spooler, as VTL_STRING_ARRAY. Asks the spooler and waits
 * for its answer: a few seconds at most when it does not answer. An unreachable spooler gives
 * an empty list. */
int32_t vtl_spooler_queues(vtl_variant* queues);
/** How parallel-port registers are reached: "ppdev", "/dev/port", "simulated" or "none". */
const char* vtl_port_io_backend(void);

/** Text as the printer gets it: UTF-8 to Windows-1252 bytes (VTL_BYTES; characters the code page
 * lacks become "?"), and back (VTL_STRING). For hosts that build binary commands and text into
 * one byte string. */
int32_t vtl_text_to_bytes(const char* utf8, int32_t len, vtl_variant* bytes);
int32_t vtl_bytes_to_text(const char* bytes, int32_t len, vtl_variant* utf8);

/** A printer in this process, for trying a host without hardware: it accepts every write at once
 * and keeps it, and shows CTS and DSR up, as a serial printer that is on. It opens as
 * "sim:NAME" (map a port name to that). Creating it again starts it afresh. */
int32_t vtl_sim_printer_create(const char* name);
int32_t vtl_sim_printer_remove(const char* name);
/** How many writes it has received, and the data of one of them (from 0) as VTL_BYTES. */
int32_t vtl_sim_printer_writes(const char* name, int32_t* count);
int32_t vtl_sim_printer_write(const char* name, int32_t index, vtl_variant* data);

/** Another reference to the same object, released on its own with vtl_release; NULL for NULL. */
vtl_object* vtl_add_ref(vtl_object* obj);

/** Frees what an owned variant holds and leaves it VTL_EMPTY. */
void vtl_variant_clear(vtl_variant* v);
void vtl_variant_set_empty(vtl_variant* v);
void vtl_variant_set_long(vtl_variant* v, int32_t value);
void vtl_variant_set_integer(vtl_variant* v, int16_t value);
/** Any non-zero value is True, stored as -1. */
void vtl_variant_set_boolean(vtl_variant* v, int32_t value);
void vtl_variant_set_double(vtl_variant* v, double value);
/** `len` bytes of UTF-8 (NUL characters included); -1 takes a NUL-terminated string. */
void vtl_variant_set_string(vtl_variant* v, const char* utf8, int32_t len);
void vtl_variant_set_bytes(vtl_variant* v, const char* bytes, int32_t len);

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* VTLDLLXT_H */
