/* A library with only two of the SDK functions: the target the recorder's
 * tests use for one that lacks functions of the header. */
const char *vyi_get_c_version(void) { return "partial 1.0"; }
int vyi_init(void) { return 7; }
