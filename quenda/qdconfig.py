"""Host configuration read by the kernel.

``tjm_models`` maps a tunnel-junction model name to its kernel coefficients
(A, B, P): three sequences of complex numbers of equal length (at most 20),
looked up by ``JunctionTJMModel.InitTJMModel``.
"""

#: Tunnel-junction model coefficient tables by name.
tjm_models = {}
