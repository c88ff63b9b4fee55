// fotoretta: the desktop application.
#include "Startup.h"

int main(int argc, char** argv) { return RunFotoretta(argc, argv); }
