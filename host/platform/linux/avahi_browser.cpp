#include "host/platform/linux/avahi_browser.hpp"
