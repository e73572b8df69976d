#pragma once

// The subcommands, by group. Each adds its subcommands with their options and
// help to the program; the work runs from the subcommand's callback and reports
// failure by throwing UsageError or Failure (Output.h).

#include <CLI/CLI.hpp>

namespace orvane::cli {

// list, tools, stream, record
void addCameraCommands(CLI::App& app);
// info, frames
void addFileCommands(CLI::App& app);
// cut, export, render, csv
void addConvertCommands(CLI::App& app);
// convert
void addFormatCommands(CLI::App& app);
// view
void addViewCommand(CLI::App& app);

}  // namespace orvane::cli
