"""Utilities of the host package."""
import logging

# The host package's logger; c_sdk.c_status_fail writes its debug lines here.
vysdklogger = logging.getLogger("vysdk")
