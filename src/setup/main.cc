// iothrash: random direct-I/O reads and writes from many threads against one
// file or device, with a latency table every interval.
#include "report/monitor.h"
#include "setup/parse_command_line.h"
#include "setup/run_config.h"
#include "setup/start_run.h"

int main(int argc, char** argv) {
  parse_command_line(argc, argv);
  start_run();
  run_monitor(config);
}
