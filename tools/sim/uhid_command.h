// The `uhid` command of qktoken-sim (Linux): argv[1] is "uhid".
#pragma once

int RunUhidCommand(int argc, char** argv);
