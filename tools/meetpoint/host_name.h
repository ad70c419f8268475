// Whether a name that a server's certificate carries names the host the relay was given: the
// rule of TLS clients, for a system whose TLS leaves the names to the program (Windows).
#pragma once

#include <string>

namespace mp {

// name: a DNS name of the certificate (a subjectAltName entry, or its common name when it has
// no such entry). The same name apart from the case of ASCII letters and a final dot of the
// host; or a wildcard "*" as the whole first label, standing for exactly one label of the
// host, where at least two labels follow it ("*.example.com", not "*.com" or "f*.example.com").
bool HostNameMatches(const std::string& name, const std::string& host);

}  // namespace mp
