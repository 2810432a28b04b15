"""Constants shared by the host package and the c_sdk module."""

# The status code every SDK function returns on success.
CSDK_OPERATE_SUCCESS = 0
