// placeholder: replaced by the layer implementation
