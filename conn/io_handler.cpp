// SPDX-License-Identifier: MIT
#include "ostrevan/conn/io_handler.h"

namespace ostrevan {

TIdIOHandler::~TIdIOHandler() { TIdIOHandler::Close(); }

void TIdIOHandler::ConnectTo(const std::string&, int32_t, const std::string&, int32_t, int32_t,
                             int32_t, int32_t) {}

}  // namespace ostrevan
