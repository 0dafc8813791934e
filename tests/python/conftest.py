# The module under test comes from the build tree (PYTHONPATH), the stand-in server's driver
# from TARN_ODBC_DRIVER; both are set by the ctest entry. The data source is this run's own.
import os
import pathlib
import re

import pytest


@pytest.fixture(scope="session")
def data_source(tmp_path_factory):
    root = tmp_path_factory.mktemp("odbc")
    system = root / "system"
    system.mkdir()
    (root / "odbcinst.ini").write_text(f"[Tarn]\nDriver = {os.environ['TARN_ODBC_DRIVER']}\n")
    # Each test logs on to an account of its own, made on first use.
    (root / "odbc.ini").write_text(f"[Tarn]\nDriver = Tarn\nSystem = {system}\nCreateAccount = Yes\n")
    # The driver manager reads these once, at the first connection of the process.
    os.environ["ODBCSYSINI"] = str(root)
    os.environ["ODBCINI"] = str(root / "odbc.ini")
    return "DSN=Tarn"


@pytest.fixture
def conn(data_source, request):
    import tarncl

    account = re.sub(r"\W", "_", request.node.name).upper()
    env = tarncl.clsTarnEnvironment()
    with env.brOpenConnection("ODBC", f"{data_source};Account={account}") as c:
        yield c
