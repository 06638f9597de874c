#include "driver/command_line.h"

#include <getopt.h>

#include <cstring>

#ifndef ORVANTE_VERSION
#error "ORVANTE_VERSION must be defined: the build takes it from the CMake project version"
#endif

namespace {

// The value each option returns from getopt_long; --rescue has no short form.
enum : int { kRescueOption = 256 };

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"output-dir", required_argument, nullptr, 'o'},
    {"quiet", no_argument, nullptr, 'q'},
    {"rescue", no_argument, nullptr, kRescueOption},
    {"check", no_argument, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};

// '+': stop at the first argument that is not an option; ':': report a
// missing value apart from an unknown option, and print nothing ourselves.
const char kShortOptions[] = "+:hVo:qc";

// Whether `letter` names an option that takes no value.
bool takesNoValue(int letter) {
  for (const option* known = kLongOptions; known->name != nullptr; ++known) {
    if (known->val == letter) return known->has_arg == no_argument;
  }
  return false;
}

// What is wrong with option `letter` (0 for an unknown long one), found in
// the argument `word`, for which getopt_long returned `returned`. A long
// option is named as the user wrote it, a short one by its letter (it may sit
// in a cluster such as -qx). The text is ours, not getopt's, so that it is
// the same with every C library.
std::string complaintAbout(int returned, const char* word, int letter) {
  const bool isLong = word[0] == '-' && word[1] == '-';
  const std::string name = isLong ? std::string(word) : std::string("-") + static_cast<char>(letter);
  if (isLong && std::strchr(word, '=') != nullptr && takesNoValue(letter)) return "Option takes no value: " + name;
  if (returned == ':') return "Missing value for option: " + name;
  return "Unknown option: " + name;
}

}  // namespace

const char CommandLine::kUsageLine[] = "Usage: orvante [options] input";

CommandLine::CommandLine(int argc, char** argv) {
  if (argc < 1 || argv == nullptr) return;  // no arguments at all, not even a name
  opterr = 0;
  optind = 1;
  for (;;) {
    // The argument getopt_long takes its next option from (the same one for
    // each letter of a cluster).
    const int at = optind;
    const int option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 'h':
        action_ = Action::kHelp;
        return;
      case 'V':
        action_ = Action::kVersion;
        return;
      case 'o':
        // An empty folder name (as from an unset variable) is no folder.
        if (*optarg == '\0') {
          action_ = Action::kBadOption;
          error_ = complaintAbout(':', argv[at], 'o');
          return;
        }
        options_.outputDir = optarg;
        break;
      case 'q':
        options_.quiet = true;
        break;
      case kRescueOption:
        options_.rescue = true;
        break;
      case 'c':
        options_.check = true;
        break;
      default:  // '?' or ':'
        action_ = Action::kBadOption;
        error_ = complaintAbout(option, argv[at], optopt);
        return;
    }
  }
  if (optind < argc) input_ = argv[optind];
}

std::string CommandLine::helpText() {
  return std::string(kUsageLine) +
         "\n"
         "Repairs and demultiplexes one MPEG-1 recording: a Video CD track ripped as\n"
         "raw CD sectors, an MPEG-1 system stream or a bare MPEG-1 video stream, as\n"
         "one file or a numbered set (movie.000, movie.001, ...). Writes the repaired\n"
         "video as <name>.mpv and the first audio stream as <name>.mp2, beside the\n"
         "input, and prints a report.\n"
         "\n"
         "Options:\n"
         "  -o, --output-dir DIR  write the outputs into the folder DIR, which must\n"
         "                        exist, under the names they would have had\n"
         "  -q, --quiet           print no progress lines; the report stays\n"
         "      --rescue          repair damaged recordings: conceal broken\n"
         "                        pictures in the stream, fill lost pictures and\n"
         "                        audio frames, keep the timelines whole\n"
         "  -c, --check           run the rescue's whole analysis and print its\n"
         "                        report as --rescue would, writing no file; the\n"
         "                        exit status tells whether a rescue would repair\n"
         "                        anything\n"
         "  -h, --help            print this help and exit\n"
         "  -V, --version         print the version and exit\n"
         "  --                    end the options, so that the next argument is the\n"
         "                        input even when it starts with '-'\n"
         "\n"
         "Options come before the input; arguments after the input are ignored.\n"
         "\n"
         "Exit status:\n"
         "  0    the input was processed; with --check, nothing needed repair\n"
         "  1    with --check: a rescue would repair something\n"
         "  255  a bad option, no input, no such file or set, an input of 4 GiB or\n"
         "       more, or an output that could not be written";
}

std::string CommandLine::versionLine() { return std::string("orvante ") + ORVANTE_VERSION; }
