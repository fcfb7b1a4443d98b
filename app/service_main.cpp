// Second program entry, the one systemd starts: the same application as appserver, run in
// service mode ("-GUI" still opens the console window).
#include "app/ProgramStart.h"

int main(int argc, char** argv) { return appsrv::app::RunProgram(argc, argv, false); }
