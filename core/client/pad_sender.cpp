#include "core/client/pad_sender.hpp"
