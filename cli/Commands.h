// The zelvora subcommands; each returns the process exit status (0 ok, 1 failure, 2 usage).
#pragma once

int RunSettingsCommand(int argc, char** argv);  // argv[0] == "settings"
int RunProbeCommand(int argc, char** argv);     // argv[0] == "probe"
int RunEncodeCommand(int argc, char** argv);    // argv[0] == "encode"
int RunUpdateCommand(int argc, char** argv);    // argv[0] == "update"
