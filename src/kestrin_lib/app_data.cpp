// filled in by the session core
