"""Object access to a Tarn multivalue database server.

The classes, members and enumerations keep the names of the C++ library (clsTarnEnvironment,
brOpenConnection, ...); help() on any of them shows its contract. Python additions: the marks
as AM, VM and SM; len(), 1-based indexing and iteration over a dynamic array's attributes; str
and nested lists wherever a dynamic array is taken; connect(); and TarnError's subclasses.
"""
from ._tarncl import *  # noqa: F401,F403  (the described classes, enumerations and errors)
from ._tarncl import __version__, _appobject_names
from ._tarncl import __getattr__ as _appobject_attribute
from ._tarncl import clsTarnConnection, clsTarnEnvironment


def __getattr__(name):
    # Unqualified names reach the predeclared application objects (brAMChr, brVersion, ...).
    return _appobject_attribute(name)


def __dir__():
    return sorted(set(globals()) | set(_appobject_names()))


def connect(dsn_or_connection_string, **attrs):
    """Opens a connection: connect("Sales"), connect("DSN=Sales;UID=ann"), or a data source
    name with further attributes as keywords, connect("Sales", Account="TEST", PWD="secret"),
    which become "DSN=Sales;Account=TEST;PWD=secret". A text holding "=" is a connection
    string as it stands; the keywords are appended to it. Raises TarnError (LogonError when
    the server refuses the logon)."""
    text = str(dsn_or_connection_string)
    if not attrs:
        return clsTarnEnvironment().brOpenConnection("ODBC", text)
    if "=" not in text:
        text = "DSN=" + text
    for key, value in attrs.items():
        value = str(value)
        # A value holding ; or braces is braced, as connection strings quote.
        if any(c in value for c in ";{}") or value != value.strip():
            value = "{" + value.replace("}", "}}") + "}"
        text += f";{key}={value}"
    return clsTarnEnvironment().brOpenConnection("ODBC", text)
