// Program entry: the application in its console window.
#include "app/ProgramStart.h"

int main(int argc, char** argv) { return appsrv::app::RunProgram(argc, argv, true); }
