# Failures from Python: the class, the number, and one line that holds every fact the error has.
import pytest

import tarncl

AM = tarncl.AM


def library(code):
    return (0x80040000 + code) - (1 << 32)


def make_file(conn, name):
    conn.brExecute(f"CREATE-FILE {name} 7 11")
    return conn.brOpenFile("", name)


def corvex(conn, name, lines):
    bp = make_file(conn, "BP") if "BP" not in conn.brSelect() else conn.brOpenFile("", "BP")
    bp.brWrite(AM.join(lines), name)


def test_every_class_is_a_tarn_error():
    for name in ("LockedError", "MissingItemError", "MissingFileError", "LogonError",
                 "ConnectionLostError", "BadArgumentError"):
        cls = getattr(tarncl, name)
        assert issubclass(cls, tarncl.TarnError) and cls is not tarncl.TarnError, name
        assert cls.__module__ == "tarncl" and cls.__doc__, name


# Each row: what fails, the class it raises, its number (None: any), a word the line holds.
def rows(conn, data_source):
    f = make_file(conn, "ORDERS")
    f.brWrite("held", "7")
    f.brRead("7", bLocking=True)
    other = tarncl.connect(f"{data_source};Account={conn_account(conn)}")
    other_file = other.brOpenFile("", "ORDERS")
    corvex(conn, "DIVIDE", ["SUBROUTINE DIVIDE(A)", "B = A / 0", "A = B", "RETURN", "END"])
    assert conn.brCompile("BP", "BP", "DIVIDE") and conn.brCatalog("BP", "BP", "DIVIDE")
    corvex(conn, "RAW", ["SUBROUTINE RAW(A)", "RETURN", "END"])
    return [
        ("wrong data source", lambda: tarncl.connect("NoSuchSource"), tarncl.TarnError,
         library(1287), "IM002"),
        ("missing file", lambda: conn.brOpenFile("", "NOFILE"), tarncl.MissingFileError,
         library(1033), "NOFILE"),
        ("missing item", lambda: f.brRead("nothing"), tarncl.MissingItemError,
         library(1026), "nothing"),
        ("locked item", lambda: other_file.brRead("7", bLocking=True), tarncl.LockedError,
         library(1029), "locked"),
        ("unknown verb", lambda: conn.brExecute("NOSUCH-VERB"), tarncl.TarnError, None,
         "NOSUCH-VERB"),
        ("uncompiled module", lambda: conn.brOpenRuleModule("RAW", "BP", "BP"),
         tarncl.TarnError, None, "RAW"),
        ("Corvex run-time error",
         lambda: conn.brOpenRuleModule("DIVIDE").brCall(["6"]), tarncl.TarnError, None,
         "DIVIDE"),
        ("type mismatch", lambda: tarncl.clsTarnDynamicArray("a").brExtractStr("first"),
         tarncl.BadArgumentError, 13, "Type mismatch"),
        ("argument count", lambda: f.brRead(), tarncl.BadArgumentError, 450, "Wrong number of arguments"),
        ("mark in an id", lambda: f.brRead("a" + AM + "b"), tarncl.BadArgumentError,
         library(1058), "Bad Parameters"),
    ]


def conn_account(conn):
    return conn.brName.rsplit("Account=", 1)[1]


def test_a_table_of_failures(conn, data_source):
    for what, fail, cls, number, word in rows(conn, data_source):
        with pytest.raises(tarncl.TarnError) as caught:
            fail()
        e = caught.value
        assert type(e) is cls, what
        if number is not None:
            assert e.number == number, what
        line = str(e)
        assert "\n" not in line and e.source in line and e.description in line, what
        assert word in line, f"{what}: {line}"
        assert isinstance(e.sql_state, str) and isinstance(e.native_error, int), what
        if e.sql_state:
            assert e.sql_state in line and e.diagnostic and e.diagnostic in line, what


def test_a_refused_logon_is_a_logon_error_with_the_servers_words(data_source, tmp_path):
    # A system of its own: its DM is protected first, as it must be before any other account.
    source = f"{data_source};System={tmp_path / 'system'};CreateAccount=Yes"
    account = "VAULT"
    with tarncl.connect(f"{source};Account=DM") as dm:
        dm.brData("root" + AM + "dm-secret")
        dm.brExecute("PROTECT-ACCOUNT DM")
    with tarncl.connect(f"{source};Account={account}") as conn:
        conn.brData("ann" + AM + "secret")
        conn.brExecute(f"PROTECT-ACCOUNT {account}")
    for attrs in ({}, {"UID": "ann", "PWD": "wrong"}):
        with pytest.raises(tarncl.LogonError) as refused:
            tarncl.connect(f"{source};Account={account}", **attrs)
        e = refused.value
        assert e.sql_state == "28000" and account in e.diagnostic and e.diagnostic in str(e)
        assert "wrong" not in str(e)
    with tarncl.connect(f"{source};Account={account}", UID="ann", PWD="secret") as ok:
        assert account in ok.brName
