#include "host/app/login_item.hpp"
