// Whether a TCP port can still be listened on, as the library's servers listen (every
// interface, address reuse on): a port in use is caught before a server quietly fails.
#pragma once

namespace sorvo::tools {

bool PortIsFree(int port);

}  // namespace sorvo::tools
