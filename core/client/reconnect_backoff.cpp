#include "core/client/reconnect_backoff.hpp"
