# Which folders each folder may include from, and which outside libraries it may use: the layering
# of the project written down once, in the spirit of Chromium's DEPS files. CheckIncludes.cmake reads
# this file and fails on any #include outside these lists; a folder without an entry fails too, so a
# new folder starts by saying what it depends on.
#
# TOVIK_RULE_<folder>: the project folders (relative to src/, or "relay") whose headers the files of
# <folder> may include; a quoted include without a folder (a header beside the file) is always allowed.
# A single header may be named instead of a folder ("net/TovikWire.h").
# TOVIK_SYS_<folder>: the groups of outside headers below that <folder> may include. Headers of the C
# and C++ libraries and plain POSIX headers that no group names are allowed everywhere.

# Outside headers by group (regular expressions on the name between < and >).
set(TOVIK_SYSGROUP_qt "^Q[A-Za-z]*$|^Qt[A-Za-z]*/|^Qt$")
set(TOVIK_SYSGROUP_qtdbus "^QDBus|^QtDBus/")
set(TOVIK_SYSGROUP_x11 "^(xcb|X11|xkbcommon)/")
set(TOVIK_SYSGROUP_sockets "^(sys/socket\\.h|netinet/|arpa/|netdb\\.h|ifaddrs\\.h|net/if|sys/epoll\\.h)")
set(TOVIK_SYSGROUP_processes "^(spawn\\.h|sys/wait\\.h|sys/utsname\\.h)$")
set(TOVIK_SYSGROUP_openssl "^openssl/")
set(TOVIK_SYSGROUP_compression "^(zlib\\.h|libdeflate\\.h)$")
set(TOVIK_SYSGROUP_sqlite "^sqlite3\\.h$")
set(TOVIK_SYSGROUP_pulse "^pulse/")
set(TOVIK_SYSGROUP_ffmpeg "^lib(avcodec|avformat|avutil|swscale)/")
set(TOVIK_SYSGROUP_openh264 "^wels/")
set(TOVIK_SYSGROUP_curl "^curl/")
set(TOVIK_SYSGROUP_systemd "^systemd/")
set(TOVIK_SYSGROUPS qt qtdbus x11 sockets processes openssl compression sqlite pulse ffmpeg openh264 curl systemd)

set(TOVIK_RULE_base base)
set(TOVIK_SYS_base "")
set(TOVIK_RULE_crypto base crypto)
set(TOVIK_SYS_crypto openssl)
set(TOVIK_RULE_net base crypto net)
set(TOVIK_SYS_net "")
set(TOVIK_RULE_net/tools base crypto net)
set(TOVIK_SYS_net/tools "")
set(TOVIK_RULE_media base media)
set(TOVIK_SYS_media compression)
# The codec libraries (FFmpeg, OpenH264) only in their own backend folder, behind IVideoCodecs and
# IH264Engine.
set(TOVIK_RULE_media/ffmpeg base media)
set(TOVIK_SYS_media/ffmpeg ffmpeg openh264)
set(TOVIK_RULE_update base crypto update)
set(TOVIK_SYS_update compression)
set(TOVIK_RULE_update/tools base crypto update)
set(TOVIK_SYS_update/tools "")
set(TOVIK_RULE_book base crypto book)
set(TOVIK_SYS_book compression)
set(TOVIK_RULE_book/ui base book book/ui app/ui)
set(TOVIK_SYS_book/ui qt)
set(TOVIK_RULE_session base crypto net media session)
set(TOVIK_SYS_session compression)
# The support service and the desktop broker (Qt-free): the broker's client decorates the session's
# screen and input.
set(TOVIK_RULE_service base media session service)
set(TOVIK_SYS_service "")
set(TOVIK_RULE_diag base crypto net diag)
set(TOVIK_SYS_diag "")
set(TOVIK_RULE_diag/ui base diag diag/ui app/ui)
set(TOVIK_SYS_diag/ui qt)
set(TOVIK_RULE_records base net/TovikWire.h session/TovikSessionHistory.h records)
set(TOVIK_SYS_records compression)
set(TOVIK_RULE_records/ui base net/TovikWire.h session/TovikSessionHistory.h records records/ui app/ui)
set(TOVIK_SYS_records/ui qt)
set(TOVIK_RULE_session/ui base crypto net media session session/ui app/ui)
set(TOVIK_SYS_session/ui qt)
# The program's entry picks the codec backend (media/ffmpeg) like the platform backends.
set(TOVIK_RULE_app base crypto net media media/ffmpeg/TovikMF_ffmpeg.h service update book book/ui session session/ui records records/ui diag diag/ui app app/ui)
set(TOVIK_SYS_app qt)
set(TOVIK_RULE_app/ui base app/ui)
set(TOVIK_SYS_app/ui qt)
set(TOVIK_RULE_platform/linux base crypto net media service update book session session/ui diag app app/ui platform/linux)
# The desktop's light/dark choice is read over D-Bus (DesktopTheme_portal.cpp, tovik_platform_ui);
# sound goes through PulseAudio (TovikAudio_pulse.cpp).
set(TOVIK_SYS_platform/linux x11 sockets processes qt qtdbus pulse curl systemd)
set(TOVIK_RULE_relay base crypto net/TovikWire.h relay)
set(TOVIK_SYS_relay sockets sqlite processes)
