# Sourced by our scripts. The connectivity monitor starts in every process that loads the library;
# in our programs it probes loopback addresses where nothing listens, never the public endpoints.
export TUK_NETCHECK_ENDPOINTS=${TUK_NETCHECK_ENDPOINTS:-http://127.0.0.1:9,http://127.0.0.2:9,http://[::1]:9}
