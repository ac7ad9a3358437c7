/* Hooks for tests of hosts that reach the library through C or Python: scripted simulated devices,
 * and a port put behind a clsPrnPort without opening one. Built only with the tests, never
 * installed, never part of the library. */
#ifndef VTLDLLXT_TESTING_H
#define VTLDLLXT_TESTING_H

#include "vtldllxt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Registers (or replaces) the simulated device `name`, which opens as "sim:NAME". */
int32_t vtl_test_sim_register(const char* name);
int32_t vtl_test_sim_unregister(const char* name);
/* Copies what the device has accepted so far; *len gets the full length even when cap is
 * smaller. */
int32_t vtl_test_sim_written(const char* name, char* buffer, int32_t cap, int32_t* len);
/* Opens `device` and puts it behind a clsPrnPort as the open port of a ready serial printer. */
int32_t vtl_test_attach(vtl_object* port, const char* device);

#ifdef __cplusplus
}
#endif

#endif /* VTLDLLXT_TESTING_H */
