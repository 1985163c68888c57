#include "tools/client/terminal_keys.hpp"
