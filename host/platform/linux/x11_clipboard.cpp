#include "host/platform/linux/x11_clipboard.hpp"
