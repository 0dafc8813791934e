# tarncl from Python against the stand-in server: the tour's flow, errors, the Pythonic extras.
import pytest

import tarncl

AM, VM = "\u00fe", "\u00fd"


def make_file(conn, name):
    conn.brExecute(f"CREATE-FILE DICT {name} 7 (")
    conn.brExecute(f"CREATE-FILE DATA {name},{name} 11 (")
    return conn.brOpenFile("", name)


def test_every_class_member_and_enumeration_is_there():
    for cls in ("clsTarnEnvironment", "clsTarnDynamicArray", "clsTarnGlobalConstant",
                "clsTarnConnection", "clsTarnFile", "clsTarnSelectList", "clsTarnTclCommand",
                "clsTarnRuleModule", "clsTarnIndex", "frmTarnAbout"):
        assert isinstance(getattr(tarncl, cls), type), cls
    assert tarncl.eTarnItemLockOptions.tarnItem_ReadLocked == -1
    assert tarncl.TarnSystem_SysIdendifier == 100
    assert tarncl.TarnClassTCL == tarncl.TarnClassVM == 771
    # Unqualified names reach the application objects.
    assert (tarncl.brAMChr, tarncl.TarnVMChr, tarncl.brType) == (AM, VM, "ODBC32")
    with pytest.raises(TypeError):
        tarncl.clsTarnFile()  # made by a connection only


def test_the_tour_end_to_end(conn):
    assert conn.brName.endswith("DSN=Tarn;Account=TEST_THE_TOUR_END_TO_END")
    f = make_file(conn, "CUST")
    item = tarncl.clsTarnDynamicArray(["Smith", "12 High Street", ["555-0100", "555-0199"]])
    f.brWrite(item, "1")
    f.brWrite(tarncl.clsTarnDynamicArray(["Jones", "3 Low Road"]), "2")
    back = f.brRead("1")
    assert back.brName == "1" and back.brCString == item.brCString
    assert back.brExtractStr(3, 2) == "555-0199"
    assert f.brReadV("2", 2).brCString == "3 Low Road"
    assert sorted(conn.brOpenSelectList("SELECT CUST")) == ["1", "2"]
    conn.brExecute("COUNT CUST")
    assert conn.brCapturing.brCString.startswith("Count: 2")
    assert conn.brOconv("12345", "MD2") == "123.45"
    assert conn.brItemCount(True) >= 0 and f.brItemCount(vbExact=True) == 2
    cmd = conn.brOpenTclCommand("WHO")
    cmd.brExecute()
    assert cmd.brCapturing.brCString != ""
    f.brDelete("2")
    with pytest.raises(tarncl.TarnError):
        f.brRead("2")


def test_failures_are_tarn_errors_with_number_source_and_description(conn):
    f = make_file(conn, "ORDERS")
    with pytest.raises(tarncl.TarnError) as missing:
        f.brRead("nothing")
    e = missing.value
    assert e.number == 0x80040000 + 1026 - (1 << 32)
    assert e.source == "Tarn Class Library (ODBC Only) (ODBC) clsTarnFile.brRead  ORDERS nothing"
    assert e.description != ""
    with pytest.raises(tarncl.TarnError) as mismatch:
        tarncl.clsTarnDynamicArray("a").brExtractStr("first")
    assert mismatch.value.number == 13
    with pytest.raises(tarncl.TarnError) as arity:
        f.brRead()
    assert arity.value.number == 450
    with pytest.raises(TypeError):
        f.brRead("1", nosuch=1)


def test_iteration_and_with_blocks_release(conn):
    f = make_file(conn, "PARTS")
    for n in range(5):
        f.brWrite(tarncl.clsTarnDynamicArray(f"part {n}"), str(n))
    assert sorted(f.brSelect()) == ["0", "1", "2", "3", "4"]
    assert list(tarncl.clsTarnDynamicArray("a" + AM + "b").brSelect()) == ["a", "b"]
    with conn.brOpenFile("", "PARTS") as g:
        assert g.brRead("3").brCString == "part 3"
    with pytest.raises(tarncl.TarnError) as gone:
        g.brName
    assert gone.value.number == 91


def test_nested_lists_by_reference_results_and_keywords():
    a = tarncl.clsTarnDynamicArray([["x", ["y1", "y2"]], "z"])
    assert a.brCString == "x" + VM + "y1\u00fcy2" + AM + "z"
    assert a.tolist() == [["x", ["y1", "y2"]], "z"]
    assert str(a) == "x]y1\\y2^z"
    assert a.brLocateStr("z", 0) == (True, 2)
    assert a.brLocateStr("q", 0, vnAMC=1) == (False, 3)
    assert a.brExtractStr(1, nVMC=2, nSVMC=2) == "y2"
    env = tarncl.clsTarnEnvironment()
    assert env.brError() == env.brError(None)[0]
    lst = a.brSelect()
    assert lst.brReadnext(None) == (True, "z")


def test_non_ascii_text_round_trips(conn):
    f = make_file(conn, "NAMES")
    text = "Zoë Müller – 5 €" + AM + "Ça va"
    f.brWrite(tarncl.clsTarnDynamicArray(text), "Zoë")
    assert f.brRead("Zoë").brCString == text
    assert f.brRead("Zoë").brExtractStr(2) == "Ça va"


def test_an_index_is_cruised_with_by_reference_results(conn):
    f = make_file(conn, "TOWNS")
    f.brWrite(tarncl.clsTarnDynamicArray(["Smith", ["York", "Leeds"]]), "1")
    f.brWrite(tarncl.clsTarnDynamicArray(["Jones", "Hull"]), "2")
    assert f.brCreateIndex("A2", False)
    index = f.brRoot("A2")
    assert index.brFindFirst("HUL", None) == (True, "2")
    ids, key, count = index.brKeyX("Le", "", 0)
    assert (ids.brCString, key, count) == ("1", "Le", 1)
    assert index.brIndexKey == "Leeds"
    assert index.brMoveFirst(None) == (True, "2")
    towns = [index.brIndexKey]
    while index.brMoveNext():
        towns.append(index.brIndexKey)
    assert towns == ["Hull", "Leeds", "York"]


def test_a_password_is_used_but_never_shown(data_source):
    # An unprotected account ignores the credentials; every text about the connection masks them.
    env = tarncl.clsTarnEnvironment()
    with env.brOpenConnection("ODBC", f"{data_source};Account=SHOWN;UID=ann;PWD=Py-Sekrit-1") as c:
        assert c.brName.endswith("PWD=***") and "Py-Sekrit-1" not in c.brDatabase
        with pytest.raises(tarncl.TarnError) as failure:
            c.brOpenFile("", "NOSUCH")
        e = failure.value
        assert "Py-Sekrit-1" not in f"{e} {e.source} {e.description}"
    with pytest.raises(tarncl.TarnError) as refused:
        env.brOpenConnection("ODBC", f"{data_source};Account=NOSUCH;CreateAccount=No;PWD=Py-Sekrit-2")
    e = refused.value
    assert "Py-Sekrit-2" not in f"{e} {e.source} {e.description}"
