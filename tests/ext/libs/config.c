/* A configuration library for the tests. Variants by definition:
 * V1_LOAD (a first-interface table with its load method), INIT_FAILS,
 * LOAD_FAILS, NO_ERROR_ENTRY (failures without an error text).
 *
 * init sets "globaltimeout" to 77, pre-sets the global "preset_global" and
 * the system variable "preset_system", and registers the commerce method
 * "configured" at COMMERCE_PATH when defined. load pre-sets the global
 * "script_seen" to the script's path. destroy is counted. */
#include <stddef.h>
#include <string.h>

#include "lumo/lumo.h"

static int destroys;
static int inits;
int test_destroys(void) { return destroys; }
int test_inits(void) { return inits; }

static int Init(lmConfig* config, void** data, const char* config_file, void* reserved1,
                void* reserved2) {
  (void)config_file;
  (void)reserved1;
  (void)reserved2;
  ++inits;
  *data = (void*)&destroys;
#ifdef INIT_FAILS
  (void)config;
  return 0;
#else
  if (lmConfig_SetValue_Integer(config, 0x1000007, 77) != 0) return 0;
  /* The wrong kind is refused. */
  if (lmConfig_SetValue_Integer(config, 0x2000001, 1) != 1) return 0;
  lmConfig_SetVariable_Global(config, "preset_global", -1, "from init", -1);
  lmConfig_SetVariable_System(config, "preset_system", -1, "system value", -1);
#ifdef COMMERCE_PATH
  lmConfig_Register_Library_Commerce(config, "configured", COMMERCE_PATH);
#endif
  return 1;
#endif
}

static int Load(lmConfig* config, void** data, const char* script_path,
                const char* script_directory) {
  (void)data;
  (void)script_directory;
#ifdef LOAD_FAILS
  (void)config;
  (void)script_path;
  return 0;
#else
  return lmConfig_SetVariable_Global(config, "script_seen", -1, script_path, -1) == 0;
#endif
}

static const char* Error(lmConfig* config, void** data) {
  (void)config;
  (void)data;
  return "the test library says no";
}

static void Destroy(lmConfig* config, void** data) {
  (void)config;
  if (*data == (void*)&destroys) ++destroys;
}

static lmConfigLibrary table = {2, Init, NULL, NULL, NULL, Error, Destroy, Load};

const lmConfigLibrary* lumo_config_library(void) {
#ifdef V1_LOAD
  /* Never called: set is all that matters. */
  table.version = 1;
  table.load_v1 = &inits;
#endif
#ifdef NO_ERROR_ENTRY
  table.error = NULL;
#endif
  return &table;
}
