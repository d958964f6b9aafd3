# Run by cpack while it installs the RPM's files: the log's folder, empty.
file(MAKE_DIRECTORY "$ENV{DESTDIR}/var/log/vexa")
