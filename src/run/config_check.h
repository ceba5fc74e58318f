// Warnings about a configuration file, given once at start-up: a section or key the program
// does not know (a mistyped "Enable=false" would leave a test running), a key given twice
// (only the first counts), and a value the readers turn into something other than what was
// written ("Loop=ten" runs no pass, "MemSize=4GB" is 4), and a line that is not read at
// all ("Enabled false", a section without its closing bracket). Reading and defaults do not
// change; the warnings only say what will happen.
#ifndef FORGEVAL_RUN_CONFIG_CHECK_H_
#define FORGEVAL_RUN_CONFIG_CHECK_H_

#include <string>
#include <vector>

namespace forgeval {

// One line per finding, each naming the file, the line, the section and the key, e.g.
// "Warning: forgeval.ini line 12: unknown key "Enable" in section [Memory]", and saying what
// the program will use instead. A file that cannot be read, or is UTF-16, gives one line.
// After 100 warnings one more line gives the count of the rest.
std::vector<std::string> ConfigurationWarnings(const std::string& path);

}  // namespace forgeval

#endif  // FORGEVAL_RUN_CONFIG_CHECK_H_
