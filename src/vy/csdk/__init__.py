"""Package of the c_sdk extension module and the SDK library it binds."""
