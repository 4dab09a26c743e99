#include "cli/cli.h"

int main(int argc, char** argv) { return korvane::cli::Main(argc, argv); }
