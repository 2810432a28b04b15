"""Host package around the c_sdk extension module (the parts the module needs)."""
