import numpy
import numpy.typing

def query(
    expr: str | bytes | bytearray,
    **kwargs: numpy.typing.NDArray[numpy.float64],
) -> numpy.typing.NDArray[numpy.float64]: ...
