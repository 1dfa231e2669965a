#include "setup/run_config.h"

run_config config;
