#include "host/platform/linux/x11_event_sink.hpp"
