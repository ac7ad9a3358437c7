#pragma once

#include <string>

namespace printersim {

struct CliOptions {
  bool tcp = true;
  int port = 9100;
  std::string bind = "127.0.0.1";
  bool pty = false;
  std::string link;
  std::string fifo;
  std::string file;
  std::string out = ".";
  std::string log;  // empty: OUT/printer-sim.jsonl
  std::string control;
  bool stdin_control = true;
  bool once = false;
  long baud = 0;
  double print_speed = 0;
  long insist_baud = 0;
  std::string insist_flow;  // empty: any
  int paper_mm = 80;
  int code_page = 0;
  long drawer_close_ms = 2000;
  bool drawer_open_high = false;
  std::string nv_file;
  std::string font;
  bool quiet = false;
  bool render = true;  // --no-render: receipts are counted and logged, no files
};

enum class ParseResult { kRun, kHelp, kError };

ParseResult ParseOptions(int argc, char** argv, CliOptions& options, std::string& error);
const char* HelpText();

}  // namespace printersim
