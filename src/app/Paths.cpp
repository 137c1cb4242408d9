#include "app/Paths.h"

#include "BuildPaths.h"

// Compiled once per executable: the sandbox build used by the process-level
// tests differs from the installed daemon only in these two paths.
#ifdef NUVEXMON_SANDBOX
char const CONFIG_FILE_PATH[] = NUVEXMON_SANDBOX_CONFIG_FILE;
char const PID_FILE_PATH[] = NUVEXMON_SANDBOX_PID_FILE;
#else
char const CONFIG_FILE_PATH[] = NUVEXMON_CONFIG_FILE;
char const PID_FILE_PATH[] = NUVEXMON_PID_FILE;
#endif
