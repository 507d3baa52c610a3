// The install root and the files below it.
//
// trellan finds everything it reads (the Avro protocol file, the PHP runner
// and session script, the version files) below one root derived from the
// environment: the parent of the directory named by VANTOR_INSTALL_PATH,
// formed as "<VANTOR_INSTALL_PATH>/.." without normalising it. The Avro
// loader shared by both programs asks for the same root.
//
// Status: 0 success, 22 failure. Strings handed out are heap copies that the
// caller releases with the matching free call; out arguments are written only
// on success.
#pragma once

// User-interface flavours, each with its own version file below the root.
enum zws_ui_type_t : unsigned {
    ZWS_UI_ENGINEERING = 1, // "install/corvale/htdocs/ui/eng/VERSION"
    ZWS_UI_TV = 2,          // "install/corvale/htdocs/ui/stb/VERSION"
    ZWS_UI_PC = 3,          // "install/corvale/htdocs/ui/pc/VERSION"
    ZWS_UI_PHONE = 4,       // "install/corvale/htdocs/ui/phone/VERSION"
};

// The install root, computed anew on every call. 22 when the variable is
// absent or the root does not exist.
int zws_file_get_root_dir_path(char **root_dir_path_p);
void zws_file_free_root_dir_path(char *root_dir_path);

// The whole file "<root>/<file_name>", NUL-terminated, and its length
// without the terminator.
int zws_file_get_file_content(const char *root_dir_path, const char *file_name, char **content_p,
                              int *length_p);
void zws_file_free_file_content(char *content);

// The "MAJOR" and "MINOR" values of "<root>/VERSION" (lines of key=value).
// Either may be null after success when its key is absent.
int zws_file_get_host_controller_application_version(const char *root_dir_path, char **major_p, char **minor_p);
void zws_file_free_host_controller_application_version(char *major, char *minor);

// The first line of the version file of one UI type (1 to 4).
int zws_file_get_ui_version(const char *root_dir_path, unsigned ui_type, char **version_p);
void zws_file_free_ui_version(char *version);
