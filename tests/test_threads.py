"""The switch that lets library calls run without the interpreter lock."""

import threading

import pytest

import ferrow


@pytest.fixture(autouse=True)
def switch_off():
    previous = ferrow.release_gil(False)
    yield
    ferrow.release_gil(previous)


def test_switch_is_off_by_default_and_returns_the_previous_setting():
    assert ferrow.get_release_gil() is False
    assert ferrow.release_gil(True) is False
    assert ferrow.get_release_gil() is True
    assert ferrow.release_gil(False) is True
    assert ferrow.get_release_gil() is False


def test_context_blocks_nest_and_restore_the_setting_on_errors():
    with ferrow.releasing_gil():
        with ferrow.releasing_gil():
            assert ferrow.get_release_gil()
        assert ferrow.get_release_gil()
    assert not ferrow.get_release_gil()
    with pytest.raises(KeyError):
        with ferrow.releasing_gil():
            raise KeyError
    assert not ferrow.get_release_gil()
    ferrow.release_gil(True)
    with ferrow.releasing_gil():
        pass
    assert ferrow.get_release_gil()  # leaving a block keeps release_gil's setting


def test_blocks_opened_in_many_threads_balance():
    barrier = threading.Barrier(8)

    def work():
        for _ in range(200):
            with ferrow.releasing_gil():
                barrier.wait() if _ == 0 else None
                assert ferrow.get_release_gil()

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not ferrow.get_release_gil()
