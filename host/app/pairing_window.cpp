#include "host/app/pairing_window.hpp"
