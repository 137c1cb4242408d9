#include "config/Paths.h"

#include "BuildPaths.h"

// Compiled once per executable: the sandbox build used by the process-level
// tests differs from the installed daemon only in these paths.
#ifdef NUVEXMON_SANDBOX
char const CONFIG_FILE_PATH[] = NUVEXMON_SANDBOX_CONFIG_FILE;
char const PID_FILE_PATH[] = NUVEXMON_SANDBOX_PID_FILE;
char const RECORD_FILE_PATH[] = NUVEXMON_SANDBOX_RECORD_FILE;
#else
char const CONFIG_FILE_PATH[] = NUVEXMON_CONFIG_FILE;
char const PID_FILE_PATH[] = NUVEXMON_PID_FILE;
char const RECORD_FILE_PATH[] = NUVEXMON_RECORD_FILE;
#endif
