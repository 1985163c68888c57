#include "host/platform/linux/avahi_advertiser.hpp"
