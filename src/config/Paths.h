#pragma once

// The daemon's fixed paths, set at build time (see Paths.cpp).
extern char const CONFIG_FILE_PATH[];
extern char const PID_FILE_PATH[];
// The outage record; its directory exists only where a service manager made it.
extern char const RECORD_FILE_PATH[];
